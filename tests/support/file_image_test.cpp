// The streaming writer must give the very bytes the in-memory builder
// gives, whatever way the data arrives (whole, generated in slices larger
// than its buffer, or as holes), because the large-image tests and the
// benchmarks trust it without being able to look at the result.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "img_builder.h"
#include "support/testutil.h"

namespace cartsift {
namespace {

namespace L = build::layout;
using build::entry;

const uint32_t T = build::utc(1999, 12, 31, 23, 59, 58);

// Data that no two slices share, so a slice written at the wrong place shows.
uint8_t gen_byte(uint64_t at) { return uint8_t(at * 7 + at / 251); }

void gen(uint64_t at, std::span<uint8_t> out) {
  for (size_t i = 0; i < out.size(); i++)
    out[i] = gen_byte(at + i);
}

std::string gen_text(uint64_t n) {
  std::string s(n, '\0');
  for (uint64_t i = 0; i < n; i++)
    s[i] = char(gen_byte(i));
  return s;
}

TEST(FileImage, SameBytesAsTheInMemoryBuilder) {
  temp_dir d;
  build::vtbl_fields vt;
  vt.label = "streamed";
  vt.date = T;
  // 3 MiB of data crosses the writer's 1 MiB buffer several times; the
  // other entries are small enough to stay in it.
  const uint64_t big = 3 * (1 << 20) + 17;
  std::vector<entry> es = {build::drive_spec("C:"), build::dir_entry("DOCS", {}, T),
                           build::file_entry("A.TXT", "DOCS", "short\r\n", T),
                           build::file_entry("BIG.BIN", "DOCS", gen_text(big), T),
                           build::file_entry("Z.TXT", {}, "last\r\n", T, 0x21)};

  build::image mem;
  mem.header(0, build::hdr_text(42, 1));
  mem.vtbl(vt);
  std::vector<size_t> offs;
  size_t cat = build::backup(mem, es, &offs);
  build::finish(mem, cat);

  es.back().pflg |= L::PF_END; // backup() marks the last entry itself
  // The same again as a compressed volume, the stream framed as it comes.
  build::comp_options co;
  co.spanning = true;
  co.offset_width = 4;
  for (bool comp : {false, true}) {
    SCOPED_TRACE(comp ? "compressed" : "plain");
    const std::string path = d.file("s.113");
    {
      build::file_image fi(path);
      fi.start(0, build::hdr_text(42, 1), vt);
      if (comp)
        fi.begin_compressed(co);
      for (size_t i = 0; i < es.size(); i++) {
        uint64_t at;
        if (i == 3) {
          entry h = es[i];
          h.data.clear();
          at = fi.dir_entry(h, big, gen); // generated in slices
        } else {
          at = fi.dir_entry(es[i]);
        }
        EXPECT_EQ(at, offs[i]) << "entry " << i;
      }
      fi.pad_to(fi.next_block());
      EXPECT_EQ(fi.size(), cat);
      if (comp) {
        EXPECT_EQ(fi.end_compressed(), cat - L::DATA_START);
      }
      const uint64_t cat_at = fi.size();
      for (const entry &e : es)
        fi.cat_entry(e);
      fi.cat_end();
      fi.finish(cat_at);
      fi.close();
    }
    const build::image want = comp ? build::compress_image(mem, co) : mem;
    std::string got = read_file(path);
    ASSERT_EQ(got.size(), want.size());
    EXPECT_TRUE(got == std::string(want.b.begin(), want.b.end()));
  }
}

TEST(FileImage, HolesReadAsZerosAndCostNoDisk) {
  temp_dir d;
  const std::string path = d.file("h.113");
  const uint64_t gap = 5ULL << 30; // past 4 GiB
  {
    build::file_image fi(path);
    const uint8_t head[3] = {1, 2, 3};
    fi.raw(head);
    fi.hole(gap);
    fi.fill(10, gen);
    fi.put_u32(1, 0xA1B2C3D4);      // already written to the file
    fi.put_u32(3 + gap, 0x0D0C0B0A); // still in the buffer
    fi.hole(100);                   // a trailing hole only sets the length
    fi.close();
  }
  EXPECT_EQ(std::filesystem::file_size(path), 3 + gap + 10 + 100);
#ifndef _WIN32 // Windows tells no count of the blocks a file takes
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_LT(uint64_t(st.st_blocks) * 512, 1ULL << 20);
#endif

  std::ifstream f(path, std::ios::binary);
  ASSERT_TRUE(f);
  auto at = [&](uint64_t off, size_t n) {
    std::string s(n, '?');
    f.seekg(std::streamoff(off));
    EXPECT_TRUE(f.read(s.data(), std::streamsize(n))) << off;
    return s;
  };
  EXPECT_EQ(at(0, 5), std::string("\x01\xD4\xC3\xB2\xA1", 5));
  EXPECT_EQ(at(3 + (4ULL << 30), 4), std::string(4, '\0'));
  std::string tail = at(3 + gap, 10);
  EXPECT_EQ(tail.substr(0, 4), "\x0A\x0B\x0C\x0D");
  EXPECT_EQ(tail.substr(4), gen_text(10).substr(4));
  EXPECT_EQ(at(3 + gap + 10, 100), std::string(100, '\0'));
}

TEST(FileImage, RefusesWhatItCannotWrite) {
  temp_dir d;
  EXPECT_THROW(build::file_image(d.file("no/such/dir.113")), std::runtime_error);

  build::file_image fi(d.file("e.113"));
  EXPECT_THROW(fi.finish(0), std::invalid_argument); // no volume table yet
  fi.start(0, build::hdr_text(1, 1), {});
  EXPECT_THROW(fi.start(0, build::hdr_text(1, 1), {}), std::logic_error);
  EXPECT_THROW(fi.pad_to(L::DATA_START - 1), std::logic_error);
  EXPECT_THROW(fi.put_u32(L::DATA_START - 2, 0), std::logic_error);
  fi.dir_entry(build::file_entry("A", {}, "a", T));
  EXPECT_THROW(fi.finish(L::DATA_START + 1), std::invalid_argument);   // not a block boundary
  EXPECT_THROW(fi.finish(L::DATA_START + L::BLOCK_SIZE), std::invalid_argument); // past the end
  entry e = build::file_entry("B", {}, "", T);
  EXPECT_THROW(fi.dir_entry(e, 1ULL << 32, {}), std::invalid_argument); // flen is 32-bit
  fi.close();
}

// The three-cartridge benchmark is only fair if the images carry the file's
// bytes with nothing lost or repeated at the seams and each image's computed
// catalog offset lands where a reader must stop.
TEST(FileImage, BenchSetCarriesTheFileAcrossThreeImages) {
  temp_dir d;
  build::bench_set3(d.file("s"), d.file("s.dat"), 300000);
  const std::string copy = read_file(d.file("s.dat"));
  std::string data, img[3];
  auto u32 = [](const std::string &b, size_t o) {
    return uint32_t(uint8_t(b[o])) | uint32_t(uint8_t(b[o + 1])) << 8 |
           uint32_t(uint8_t(b[o + 2])) << 16 | uint32_t(uint8_t(b[o + 3])) << 24;
  };
  for (int i = 0; i < 3; i++) {
    img[i] = read_file(d.file("s-" + std::to_string(i + 1) + ".113"));
    EXPECT_EQ(uint8_t(img[i][L::VTBL_OFFSET + L::VT_FLAG]) & 0x02, 0x02);
    EXPECT_EQ(img[i][L::VTBL_OFFSET + L::VT_SEQ], i + 1);
    uint32_t dir_blocks = (u32(img[i], L::VTBL_OFFSET + L::VT_DIRSZ) + L::BLOCK_SIZE - 1) / L::BLOCK_SIZE;
    size_t cat = (u32(img[i], L::HDR_NBLK) - dir_blocks) * L::BLOCK_SIZE;
    size_t from = i == 0 ? img[0].find(copy.substr(0, 64), L::DATA_START) : L::DATA_START;
    ASSERT_NE(from, std::string::npos);
    if (i < 2) {
      EXPECT_EQ(cat, img[i].size()) << "image " << i + 1;
      data += img[i].substr(from);
    } else {
      const size_t rest = copy.size() - data.size();
      data += img[i].substr(from, rest);
      EXPECT_EQ(u32(img[i], from + rest), L::FILE_SIG); // the trailer follows the last byte
      EXPECT_GT(cat, from + rest);
      EXPECT_LT(cat, img[i].size());
    }
  }
  EXPECT_TRUE(data == copy);
}

} // namespace
} // namespace cartsift
