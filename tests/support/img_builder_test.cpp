// The builder is what every other test stands on, so its layout is checked
// here against offsets written out by hand, not against the tool's readers.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "img_builder.h"
#include "support/testutil.h"

namespace cartsift {
namespace {

namespace L = build::layout;
using build::entry;

const uint32_t T = build::utc(1996, 5, 4, 3, 2, 1);

// (nblk - ceil(dirSz / BLOCK_SIZE)) * BLOCK_SIZE, as the tool computes it.
size_t computed_cats(const build::image &img) {
  uint32_t nblk = img.get_u32(L::HDR_NBLK);
  uint32_t dir = img.get_u32(L::VTBL_OFFSET + L::VT_DIRSZ);
  uint32_t dblk = dir / L::BLOCK_SIZE + (dir % L::BLOCK_SIZE ? 1 : 0);
  return size_t(nblk - dblk) * L::BLOCK_SIZE;
}

std::string bytes_at(const build::image &img, size_t off, size_t n) {
  return std::string(img.b.begin() + long(off), img.b.begin() + long(off + n));
}

// The low bytes of the 16-bit string whose length word is at off.
std::string name_at(const build::image &img, size_t off) {
  std::string s;
  for (size_t i = 0; i < img.get_u16(off); i += 2)
    s += char(img.b.at(off + 2 + i));
  return s;
}

// Entries that exercise every length in the header: empty and long names,
// nested paths, a raw path, no data and odd data sizes.
std::vector<entry> varied_entries() {
  std::vector<entry> v;
  v.push_back(build::drive_spec("C:"));
  v.push_back(build::dir_entry("DOCS", {}, T));
  auto a = build::file_entry("Letter to Aunt Mary.txt", "DOCS\\LETTERS", "Dear Mary,\r\n", T, 0x21);
  a.name2 = "LETTER~1.TXT";
  a.name3 = "x";
  v.push_back(a);
  auto b = build::file_entry("", {"A", "BB", "CCC"}, std::string(1031, 'z'), T);
  v.push_back(b);
  auto c = build::file_entry("RAW.BIN", {}, "\x01\x02\x03", T);
  c.raw_path = std::vector<uint8_t>{'X', 0, 0, 0, 'Y', 0, 0, 0}; // trailing separator
  v.push_back(c);
  return v;
}

TEST(ImgBuilder, DirectoryEntriesFollowTheSteppingRule) {
  build::image img;
  img.header(0, build::hdr_text(1, 1));
  img.vtbl({});
  ASSERT_EQ(img.size(), L::DATA_START);
  auto v = varied_entries();
  std::vector<size_t> at;
  for (auto &e : v)
    at.push_back(img.dir_entry(e));
  img.end_of_entries();

  for (size_t i = 0; i < v.size(); ++i) {
    SCOPED_TRACE(i);
    const entry &e = v[i];
    size_t E = at[i];
    size_t n1 = 2 * e.name.size(), n2 = 2 * e.name2.size(), n3 = 2 * e.name3.size();
    size_t p = build::path_bytes(e).size();
    size_t h = 138 + n1 + n2 + n3 + p;
    ASSERT_EQ(build::header_len(e), h);
    EXPECT_EQ(img.get_u32(E), L::DIR_SIG);
    EXPECT_EQ(img.get_u16(E + 14), 4 + p); // plen
    EXPECT_EQ(img.b[E + 18], e.pflg);
    EXPECT_EQ(img.get_u32(E + 21), e.data.size()); // flen
    EXPECT_EQ(img.b[E + 45], e.attrib);
    EXPECT_EQ(img.get_u32(E + 49), e.t1);
    EXPECT_EQ(img.get_u16(E + 73), n1);
    EXPECT_EQ(img.get_u32(E + 75 + n1 + 13), e.t4); // unknw2[13-16]
    EXPECT_EQ(img.get_u16(E + 96 + n1), n2);
    EXPECT_EQ(bytes_at(img, E + 110 + n1 + n2, 4), "OIMG");
    EXPECT_EQ(img.get_u16(E + 126 + n1 + n2), n3);
    EXPECT_EQ(img.get_u32(E + 130 + n1 + n2 + n3 + p + 2), L::FILE_SIG); // closing block
    EXPECT_EQ(bytes_at(img, E + h, e.data.size()),
              std::string(e.data.begin(), e.data.end()));
    EXPECT_EQ(img.get_u32(E + h + e.data.size()), L::FILE_SIG); // trailer
    size_t next = i + 1 < v.size() ? at[i + 1] : img.size() - L::END_MARK_SIZE;
    EXPECT_EQ(next, E + h + e.data.size() + 18);
  }
  // Path components are joined by one zero character, nothing around them.
  EXPECT_EQ(build::path_bytes(v[3]),
            (std::vector<uint8_t>{'A', 0, 0, 0, 'B', 0, 'B', 0, 0, 0, 'C', 0, 'C', 0, 'C', 0}));
  EXPECT_EQ(bytes_at(img, img.size() - 73, 73), std::string(73, '\0'));
}

TEST(ImgBuilder, OverridesChangeOnlyTheirField) {
  auto e = build::file_entry("A.TXT", "D", "abc", T);
  e.plen = 2;
  e.flen = 0x10000;
  e.tag = "oimg";
  e.closing_sig = {0, 0, 0, 0};
  e.trailer_sig = {1, 2, 3, 4};
  build::image img;
  size_t E = img.dir_entry(e);
  EXPECT_EQ(img.get_u16(E + 14), 2);
  EXPECT_EQ(img.get_u32(E + 21), 0x10000u);
  EXPECT_EQ(bytes_at(img, E + 110 + 10, 4), "oimg");
  size_t h = build::header_len(e); // still counts the 2 path bytes written
  EXPECT_EQ(h, 138 + 10 + 2u);
  EXPECT_EQ(img.get_u32(h - 6), 0u);
  EXPECT_EQ(bytes_at(img, h, 3), "abc");
  EXPECT_EQ(bytes_at(img, h + 3, 4), "\x01\x02\x03\x04");
  EXPECT_EQ(img.size(), h + 3 + 18);

  e.trailer = false;
  build::image no_trailer;
  no_trailer.dir_entry(e);
  EXPECT_EQ(no_trailer.size(), h + 3);
}

TEST(ImgBuilder, CatalogEntriesAreTheBodyWithoutFraming) {
  build::image img;
  auto v = varied_entries();
  v[2].cat_tag_pad = 3;
  v[3].cat_patch = {{0, 0xAB}, {117, 0xCD}};
  std::vector<size_t> at;
  for (auto &e : v)
    at.push_back(img.cat_entry(e));
  size_t end = img.size();
  img.cat_end();
  EXPECT_EQ(img.size(), end + L::CAT_END_SIZE);
  EXPECT_EQ(img.get_u16(end + 69), 0);

  build::image dirs;
  for (size_t i = 0; i < v.size(); ++i) {
    SCOPED_TRACE(i);
    const entry &e = v[i];
    size_t C = at[i];
    size_t n1 = 2 * e.name.size(), n2 = 2 * e.name2.size(), n3 = 2 * e.name3.size();
    size_t pad = size_t(e.cat_tag_pad);
    ASSERT_EQ(build::cat_len(e), 124 + n1 + n2 + n3 + pad);
    size_t next = i + 1 < v.size() ? at[i + 1] : end;
    EXPECT_EQ(next - C, build::cat_len(e));
    EXPECT_EQ(img.get_u16(C + 10), build::plen_of(e));
    EXPECT_EQ(img.get_u32(C + 17), e.data.size());
    EXPECT_EQ(img.get_u16(C + 69), n1);
    EXPECT_EQ(bytes_at(img, C + 94 + n1 + n2 + 12 + pad, 4), "OIMG");
    EXPECT_EQ(img.get_u16(C + 122 + n1 + n2 + pad), n3);

    // Unpatched, untagged-shifted bytes match the directory entry's exactly:
    // the field test that compares both sides must find nothing.
    size_t D = dirs.dir_entry(e);
    if (pad == 0 && e.cat_patch.empty()) {
      EXPECT_EQ(bytes_at(img, C, build::cat_len(e)),
                bytes_at(dirs, D + 4, build::cat_len(e)));
    }
  }
  // The patch hits unknw1[0] and unknw3[27] of the catalog twin only.
  size_t C = at[3];
  EXPECT_EQ(img.b[C], 0xAB);
  EXPECT_EQ(img.b[C + 94 + 0 + 0 + 27], 0xCD);
  build::image twin;
  twin.dir_entry(v[3]);
  EXPECT_EQ(twin.b[4], build::DEFAULT_UNKNW1[0]);
  EXPECT_EQ(twin.b[98 + 27], build::DEFAULT_UNKNW3[27]);
}

TEST(ImgBuilder, BackupPutsTheCatalogOnTheNextBoundary) {
  build::image img;
  img.header(0, build::hdr_text(1, 1));
  img.vtbl({});
  std::vector<size_t> offs;
  auto v = varied_entries();
  size_t cat = build::backup(img, v, &offs);
  ASSERT_EQ(offs.size(), v.size());
  size_t end = offs.back() + build::header_len(v.back()) + v.back().data.size() + 18;
  EXPECT_EQ(cat, (end / L::BLOCK_SIZE + 1) * L::BLOCK_SIZE);
  for (size_t i = 0; i < offs.size(); ++i)
    EXPECT_EQ(img.b[offs[i] + 18], v[i].pflg | (i + 1 == offs.size() ? L::PF_END : 0));
  EXPECT_EQ(img.size(), cat + [&] {
    size_t n = L::CAT_END_SIZE;
    for (auto &e : v)
      n += build::cat_len(e);
    return n;
  }());

  // A trailer that ends exactly on a boundary puts the catalog a whole block later.
  build::image exact;
  exact.header(0, "");
  exact.vtbl({});
  auto f = build::file_entry("F", {}, "", T);
  f.data.resize(L::BLOCK_SIZE - build::header_len(f) - 18);
  size_t c2 = build::backup(exact, {f});
  EXPECT_EQ(c2, L::DATA_START + 2 * L::BLOCK_SIZE);
}

TEST(ImgBuilder, FinishMakesTheComputedCatalogOffsetRight) {
  for (size_t extra : {size_t(0), size_t(1), L::BLOCK_SIZE - 71, L::BLOCK_SIZE + 5}) {
    SCOPED_TRACE(extra);
    build::image img;
    img.header(0, build::hdr_text(1, 1));
    img.vtbl({});
    size_t cat = build::backup(img, {build::drive_spec("C:")});
    img.b.insert(img.b.end(), extra, 0x5A); // a catalog of any length
    size_t end = img.size();
    build::finish(img, cat);
    EXPECT_EQ(img.size() % L::BLOCK_SIZE, 0u);
    EXPECT_GE(img.size(), end);
    EXPECT_EQ(computed_cats(img), cat);
    EXPECT_EQ(img.get_u32(L::BLOCK_SIZE + L::HDR_NBLK), img.get_u32(L::HDR_NBLK));
    EXPECT_EQ(img.get_u32(0), L::HDR_SIG);
  }
  build::image bad;
  bad.header(0, "");
  bad.vtbl({});
  bad.pad_to(L::DATA_START + 100);
  EXPECT_THROW(build::finish(bad, L::DATA_START + 1), std::invalid_argument);
  EXPECT_THROW(build::finish(bad, L::DATA_START + L::BLOCK_SIZE), std::invalid_argument);
  EXPECT_THROW(bad.pad_to(10), std::logic_error);
}

TEST(ImgBuilder, HeaderAndVolumeTableFields) {
  build::image img;
  img.header(0x1234, build::hdr_text(12, 3));
  build::vtbl_fields v;
  v.label = std::string(50, 'L'); // longer than the field: cut at 44
  v.dirSz = 0x7401;
  v.dataSz = -2;
  v.comp = 0x85;
  v.tag = "vtbl";
  img.vtbl(v);
  EXPECT_EQ(bytes_at(img, 0, 4), "\x55\xAA\x55\xAA");
  EXPECT_EQ(img.get_u32(10), 0x1234u);
  EXPECT_EQ(bytes_at(img, 40, 12), std::string("12, disk  3\0", 12));
  EXPECT_EQ(bytes_at(img, L::BLOCK_SIZE, 144), bytes_at(img, 0, 144));
  size_t o = L::VTBL_OFFSET;
  EXPECT_EQ(bytes_at(img, o, 4), "vtbl");
  EXPECT_EQ(bytes_at(img, o + 8, 44), std::string(44, 'L'));
  EXPECT_EQ(img.b[o + 52], 0); // date follows the label directly
  EXPECT_EQ(img.b[o + 56], 0x20);
  EXPECT_EQ(img.b[o + 57], 1);
  EXPECT_EQ(img.get_u32(o + 92), 0x7401u);
  EXPECT_EQ(img.get_u32(o + 96), 0xFFFFFFFEu);
  EXPECT_EQ(img.get_u32(o + 100), 0xFFFFFFFFu);
  EXPECT_EQ(img.b[o + 124], 0x85);
  EXPECT_EQ(img.b[o + 125], 7);
}

// The job and disk numbers read back the way the tool reads them: a number
// at byte 40, and one 6 bytes after the first ',' found at 40..46.
TEST(ImgBuilder, HeaderTextKeepsJobAndDiskReadable) {
  for (unsigned job : {0u, 7u, 12u, 345u, 65535u, 999999u}) {
    for (unsigned disk : {1u, 9u, 10u, 255u}) {
      build::image img;
      img.header(0, build::hdr_text(job, disk));
      std::string h = bytes_at(img, 0, L::HDR_SIZE);
      char *endp;
      EXPECT_EQ(std::strtoul(h.c_str() + 40, &endp, 10), job);
      size_t comma = h.find(',', 40);
      ASSERT_LE(comma, 46u) << job;
      EXPECT_EQ(std::strtoul(h.c_str() + comma + 6, &endp, 10), disk) << job;
    }
  }
  EXPECT_EQ(build::utc(1970, 1, 1), 0u);
  EXPECT_EQ(build::utc(1996, 2, 29, 12, 0, 1), 825595201u);
}

// UTF-8 beyond ASCII becomes UTF-16LE; anything else keeps one character
// per byte, so latin1 names written by older tests stay as they were.
TEST(ImgBuilder, NamesAreUtf16WhenValidUtf8) {
  using B = std::vector<uint8_t>;
  const struct {
    const char *s;
    B want;
  } cases[] = {
      {"A.TXT", {'A', 0, '.', 0, 'T', 0, 'X', 0, 'T', 0}},
      {"\xC3\x9C", {0xDC, 0x00}},                       // U+00DC, 2 bytes
      {"\xD0\x9E", {0x1E, 0x04}},                       // U+041E, 2 bytes
      {"\xE4\xBC\x9A", {0x1A, 0x4F}},                   // U+4F1A, 3 bytes
      {"\xF0\x9D\x84\x9E!", {0x34, 0xD8, 0x1E, 0xDD, '!', 0}}, // U+1D11E, a pair
      {"\xE9", {0xE9, 0}},                               // latin1: a lead byte alone
      {"a\xC3", {'a', 0, 0xC3, 0}},                      // cut short
      {"\xC0\xAF", {0xC0, 0, 0xAF, 0}},                  // overlong '/'
      {"\xED\xA0\x80", {0xED, 0, 0xA0, 0, 0x80, 0}},     // a surrogate
      {"\xF4\x90\x80\x80", {0xF4, 0, 0x90, 0, 0x80, 0, 0x80, 0}}, // past U+10FFFF
  };
  for (const auto &c : cases)
    EXPECT_EQ(build::str16(c.s), c.want) << c.s;

  // Length words, header_len, path_bytes and cat_len agree with what is written.
  auto e = build::file_entry("\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82.txt", // 9 characters
                             {"\xF0\x9F\x8E\xB5 Music", "\xC3\x9C" "bersicht"}, "x", T);
  e.name2 = "OTCHET~1.TXT";
  build::image img;
  img.dir_entry(e);
  EXPECT_EQ(img.get_u16(73), 18);
  EXPECT_EQ(build::path_bytes(e).size(), 2u * (8 + 1 + 9));
  EXPECT_EQ(img.size(), build::header_len(e) + 1 + 18);
  build::image cat;
  cat.cat_entry(e);
  EXPECT_EQ(cat.size(), build::cat_len(e));
}

// The stream of a split backup is exactly what one image would hold, cut
// into the images' data regions; every image but the last ends with its data.
TEST(ImgBuilder, SplitBackupCutsOneStreamAcrossImages) {
  std::string text;
  for (int i = 0; i < 9000; ++i)
    text += "line " + std::to_string(i) + "\r\n";
  std::vector<entry> v = {build::drive_spec("C:"), build::dir_entry("D", {}, T),
                          build::file_entry("BIG.TXT", "D", text, T),
                          build::file_entry("AFTER.TXT", "D", "after", T)};
  build::vtbl_fields vt;
  vt.flag = 0x20;
  build::image one;
  one.header(0, "");
  one.vtbl({});
  std::vector<size_t> offs;
  const size_t cat = build::backup(one, v, &offs);
  const std::string stream = bytes_at(one, L::DATA_START, cat - L::DATA_START);

  for (size_t n : {2, 3, 4}) {
    SCOPED_TRACE(n);
    build::image_set s = build::spanning_images(vt, 7, v, 2, n, 3000, 1);
    ASSERT_EQ(s.images.size(), n);
    std::string joined;
    for (size_t k = 0; k < n; ++k) {
      const build::image &img = s.images[k];
      const bool last = k + 1 == n;
      EXPECT_EQ(img.size() % L::BLOCK_SIZE, 0u);
      EXPECT_EQ(computed_cats(img), last ? s.cat_off : img.size());
      EXPECT_EQ(img.b[L::VTBL_OFFSET + 56], 0x22);
      EXPECT_EQ(img.b[L::VTBL_OFFSET + 57], k + 1);
      EXPECT_EQ(bytes_at(img, 40, 11), "7, disk  " + std::to_string(k + 1) + '\0');
      joined += bytes_at(img, L::DATA_START, (last ? s.cat_off : img.size()) - L::DATA_START);
    }
    EXPECT_EQ(joined.substr(0, stream.size()), stream);
    EXPECT_EQ(joined.substr(stream.size()), std::string(joined.size() - stream.size(), '\0'));
    EXPECT_EQ(bytes_at(s.images.back(), s.cat_off, one.size() - cat),
              bytes_at(one, cat, one.size() - cat));

    // BIG.TXT starts in image 1, fills each middle image and ends in the last.
    ASSERT_EQ(s.entries.size(), v.size());
    EXPECT_EQ(s.entries[2].image, 0u);
    EXPECT_EQ(s.entries[3].image, n - 1);
    const size_t in_first = s.images[0].size() - s.entries[2].off - build::header_len(v[2]);
    EXPECT_GE(in_first, 3000u);
    const size_t rest = text.size() - in_first - (n - 2) * L::BLOCK_SIZE;
    EXPECT_EQ(s.entries[3].off, L::DATA_START + rest + 18);
  }

  EXPECT_THROW(build::split_backup(vt, 1, v, {1, 3}), std::invalid_argument);
  EXPECT_THROW(build::spanning_images(vt, 1, v, 2, 3, 3000, 3), std::invalid_argument);

  // A cut may fall inside a header: the entry is placed where it starts.
  auto f1 = build::file_entry("F1", {}, "", T), f2 = build::file_entry("F2", {}, "data", T);
  f1.data.resize(L::BLOCK_SIZE - build::header_len(f1) - 18 - 10);
  build::image_set h = build::split_backup(vt, 1, {f1, f2}, {1});
  EXPECT_EQ(h.entries[1].image, 0u);
  EXPECT_EQ(h.entries[1].off, L::DATA_START + L::BLOCK_SIZE - 10);
  EXPECT_EQ(bytes_at(h.images[1], L::DATA_START + build::header_len(f2) - 10, 4), "data");
}

TEST(ImgBuilder, SpanningSetSplitsOneFileAcrossTwoImages) {
  std::string text;
  for (int i = 0; i < 5000; ++i)
    text += "line " + std::to_string(i) + "\r\n";
  auto big = build::file_entry("BIG.TXT", "D", text, T);
  build::vtbl_fields v;
  v.flag = 0x02;
  auto p = build::spanning_set(v, 9, {build::drive_spec("C:"), build::dir_entry("D", {}, T)}, big,
                               {build::file_entry("AFTER.TXT", "D", "after", T)}, 10000);
  const build::image &a = p.first, &b = p.second;
  ASSERT_GE(p.split, 10000u);
  EXPECT_LT(p.split, text.size());
  EXPECT_EQ(a.size(), p.data_off + p.split);
  EXPECT_EQ(a.size() % L::BLOCK_SIZE, 0u);
  EXPECT_EQ(computed_cats(a), a.size()); // the data region ends with the image
  EXPECT_EQ(p.data_off, p.first_offs.back() + build::header_len(big));
  EXPECT_EQ(a.b[L::VTBL_OFFSET + 56], 0x02);
  EXPECT_EQ(a.b[L::VTBL_OFFSET + 57], 1);
  EXPECT_EQ(b.b[L::VTBL_OFFSET + 56], 0x02);
  EXPECT_EQ(b.b[L::VTBL_OFFSET + 57], 2);
  EXPECT_EQ(bytes_at(b, 40, 11), std::string("9, disk  2\0", 11));

  std::string rest = text.substr(p.split);
  EXPECT_EQ(bytes_at(a, p.data_off, p.split) + bytes_at(b, L::DATA_START, rest.size()), text);
  EXPECT_EQ(b.get_u32(L::DATA_START + rest.size()), L::FILE_SIG); // its trailer
  ASSERT_EQ(p.second_offs.size(), 1u);
  EXPECT_EQ(p.second_offs[0], L::DATA_START + rest.size() + 18);
  EXPECT_EQ(b.b[p.second_offs[0] + 18] & L::PF_END, L::PF_END);
  EXPECT_EQ(a.b[p.first_offs.back() + 18] & L::PF_END, 0);
  EXPECT_EQ(computed_cats(b), p.cat_off);
  // The catalog in image 2 describes the whole backup, BIG.TXT third.
  EXPECT_EQ(name_at(b, p.cat_off + (124 + 4) + (124 + 2) + 69), "BIG.TXT");
}

} // namespace
} // namespace cartsift
