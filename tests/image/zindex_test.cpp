// The index of a compressed volume keeps one extent in 64; those between
// marks are found again from the segments' words. Reads in any order, a
// word refused among them, and a search across the hole it leaves give what
// reading in order gave.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "image/image.h"
#include "support/testutil.h"

namespace cartsift {
namespace {

namespace L = build::layout;

TEST(ZIndex, ReadsInAnyOrderFindTheSameExtents) {
  // Bytes that do not compress: a segment holds some 29 KB of them, so the
  // volume has about 200 extents, marks and blocks enough.
  std::mt19937 g(7);
  std::string data(6 << 20, '\0');
  for (char &c : data)
    c = char(g() >> 24);
  build::image plain;
  plain.header(0, build::hdr_text(1, 1));
  plain.vtbl({});
  build::finish(plain, build::backup(plain, {build::file_entry("R.DAT", {}, data, 0)}));
  const std::string want(plain.b.begin() + L::DATA_START, plain.b.end());

  for (const bool spanning : {false, true}) {
    SCOPED_TRACE(spanning ? "spanning" : "one extent a segment");
    build::comp_options o;
    o.spanning = spanning;
    o.extent_frames = 1;
    build::image z = build::compress_image(plain, o);
    // The first extent from segment 150 on goes back to offset 0.
    size_t k = 150, pos = 0;
    while (spanning && (pos = z.get_u16(L::DATA_START + k * L::BLOCK_SIZE)) == 0)
      k++;
    z.put_u64(L::DATA_START + k * L::BLOCK_SIZE + pos, 0);
    temp_dir d;
    const std::string p = write_image(d, z, "z.113");
    const int64_t blk = L::BLOCK_SIZE, nblk = z.get_u32(10),
                  dblk = (z.get_u32(L::VTBL_OFFSET + 92) + blk - 1) / blk;
    const set_part part{p, int64_t(L::DATA_START), (nblk - dblk) * blk, false, true, spanning};

    // One extent's bytes are lost with the word: [from, to) of the hole
    // that decoding the one before it leaves.
    const int in = set_open({part});
    ASSERT_GE(in, 0);
    const int64_t total = img_seek(in, 0, SEEK_END);
    set_inflate_all(in);
    ASSERT_NE(set_zinfo(in, 0), nullptr);
    EXPECT_GE(set_zinfo(in, 0)->extents, 3 * 64);
    std::vector<std::string> why;
    int64_t from = -1, to = -1;
    for (const z_hole &h : set_zinfo(in, 0)->holes) {
      why.push_back(h.why.substr(0, h.why.find(" to ")));
      if (h.from >= 0)
        std::tie(from, to) = std::make_pair(h.from, h.to);
    }
    EXPECT_EQ(why, (std::vector<std::string>{"extent in segment " + std::to_string(k) + " goes back",
                                             "extent in segment " + std::to_string(k - 1) +
                                                 " expands"}));
    auto expected = [&](int64_t at, size_t n) {
      const int64_t end = std::min<int64_t>(at + int64_t(n), at < from ? from : total);
      return at >= from && at < to ? std::string() : want.substr(size_t(at), size_t(end - at));
    };
    constexpr size_t STEP = 7001; // reads start all over the extents
    std::string b(STEP, '\0');
    auto read_at = [&](int sfd, int64_t at) {
      const int64_t n = seek_to(sfd, at) ? img_read(sfd, b.data(), STEP) : -1;
      return n < 0 ? std::string() : b.substr(0, size_t(n));
    };
    std::vector<int64_t> order;
    for (int64_t at = 0; at < total; at += STEP) {
      EXPECT_EQ(read_at(in, at), expected(at, STEP)) << at;
      order.push_back(at);
    }
    img_close(in);

    const int any = set_open({part});
    ASSERT_GE(any, 0);
    std::shuffle(order.begin(), order.end(), g);
    for (int64_t at : order)
      EXPECT_EQ(read_at(any, at), expected(at, STEP)) << at;
    // A search from before the hole goes on after it, and so does the copy
    // of --inflate.
    const uint32_t sig = le32(reinterpret_cast<const uint8_t *>(want.data()) + to + 1);
    EXPECT_EQ(fnd_sig(any, from - 10, sig), to + 1);
    EXPECT_EQ(set_after_hole(any, from + 5), to);
    img_close(any);
    ASSERT_EQ(run_bin({"--inflate", p, d.file("twin.113")}).status, 1);
    const std::string twin = read_file(d.file("twin.113"));
    EXPECT_EQ(twin.substr(L::DATA_START + size_t(from), size_t(to - from)),
              std::string(size_t(to - from), '\0'));
    EXPECT_EQ(twin.substr(L::DATA_START + size_t(to), size_t(total - to)),
              want.substr(size_t(to), size_t(total - to)));
  }
}

// Every word after the first goes back: the first thousand holes are
// named, the others counted.
TEST(ZIndex, AVolumeDamagedAllThrough) {
  constexpr size_t NSEG = 1100;
  build::vtbl_fields v;
  v.comp = L::COMP_QIC122;
  v.dataSz = 100;
  build::image z;
  z.header(0, build::hdr_text(1, 1));
  z.vtbl(v);
  for (size_t k = 0; k < NSEG; k++) {
    z.pad_to(L::DATA_START + k * L::BLOCK_SIZE);
    z.u64(0);                         // the extent's offset
    z.u16(L::FRAME_STORED | 100);     // one stored frame
    z.raw(std::string(100, '\0'));
    z.u16(0);                         // the extent's end
  }
  z.pad_to(L::DATA_START + NSEG * L::BLOCK_SIZE);
  build::finish(z, z.size());
  temp_dir d;
  const std::string p = write_image(d, z, "z.113");
  const run_output t = run_bin_err({"--test", p});
  std::string want;
  for (size_t k = 1; k <= 1000; k++)
    want += "cartsift: " + p + ": 0x15c00: extent in segment " + std::to_string(k) +
            " goes back to uncompressed offset 0\n";
  want += "cartsift: " + p + ": 0x15c00: more holes than the 1000 named; --info counts them\n"
          "0 entries, 0 files, 0 bytes; 1001 problems\n";
  EXPECT_EQ(t.err, want);
  EXPECT_NE(run_bin_err({"--info", p}).out.find("  holes        1099\n"), std::string::npos);
}

} // namespace
} // namespace cartsift
