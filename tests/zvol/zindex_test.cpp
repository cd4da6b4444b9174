// A compressed volume's index keeps one extent in 64 and finds the others
// again from the segments' words: reads in any order, a refused word among
// them, and a volume damaged all through.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "set/set.h"
#include "support/capture.h"
#include "support/testutil.h"

namespace cartsift {
namespace {

namespace L = build::layout;
using testing::fmt;

TEST(ZIndex, ReadsInAnyOrderFindTheSameExtents) {
  // Bytes that do not compress: a segment holds some 29 KB of them, so the
  // volume has about 200 extents, marks and blocks enough.
  std::mt19937 g(7);
  std::string data(6 << 20, '\0');
  std::generate(data.begin(), data.end(), [&] { return char(g() >> 24); });
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

    // The word takes an extent's bytes with it: the hole [from, to) that
    // decoding the one before leaves.
    int sfd = set_open({part});
    ASSERT_GE(sfd, 0);
    const int64_t total = img_seek(sfd, 0, SEEK_END);
    set_inflate_all(sfd);
    EXPECT_GE(set_zinfo(sfd, 0)->extents, 3 * 64);
    const std::vector<z_hole> &hs = set_zinfo(sfd, 0)->holes;
    ASSERT_EQ(hs.size(), 2u);
    EXPECT_EQ(hs[0].why, fmt("extent in segment %zu goes back to uncompressed offset 0", k));
    const int64_t from = hs[1].from, to = hs[1].to; // the extent before it
    constexpr int64_t STEP = 7001; // reads start all over the extents
    std::vector<int64_t> order;
    for (int64_t at = 0; at < total; at += STEP)
      order.push_back(at);
    for (const bool shuffled : {false, true}) {
      if (shuffled) {
        img_close(sfd);
        sfd = set_open({part});
        std::shuffle(order.begin(), order.end(), g);
      }
      for (int64_t at : order) {
        std::string b(STEP, '\0');
        const int64_t n = seek_to(sfd, at) ? img_read(sfd, b.data(), STEP) : -1;
        const int64_t end = std::min(at + STEP, at < from ? from : total);
        EXPECT_EQ(b.substr(0, size_t(std::max<int64_t>(n, 0))),
                  at >= from && at < to ? "" : want.substr(size_t(at), size_t(end - at)))
            << at;
      }
    }
    // A search from before the hole goes on after it, and so does a copy.
    const uint32_t sig = le32(reinterpret_cast<const uint8_t *>(want.data()) + to + 1);
    EXPECT_EQ(fnd_sig(sfd, from - 10, sig), to + 1);
    EXPECT_EQ(set_after_hole(sfd, from + 5), to);
    img_close(sfd);

    // Asked from a plain part before it, the view answers as well, and the
    // window the stream had stays fit to read.
    const int64_t n0 = int64_t(want.size()), d0 = L::DATA_START;
    sfd = set_open({{write_image(d, plain, "p.113"), d0, d0 + n0}, part});
    std::string b(64, '\0');
    ASSERT_TRUE(seek_to(sfd, 0) && img_read(sfd, b.data(), 64) == 64);
    EXPECT_EQ(set_after_hole(sfd, n0 + from + 5), n0 + to);
    ASSERT_TRUE(seek_to(sfd, 64) && img_read(sfd, b.data(), 64) == 64);
    EXPECT_EQ(b, want.substr(64, 64));
    img_close(sfd);
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
  for (size_t k = 1; k <= NSEG; k++) { // from DATA_START, where vtbl() leaves it
    z.u64(0);                             // the extent's offset
    z.u16(L::FRAME_STORED | 100);         // a stored frame of 100 zeros, zeros after
    z.pad_to(L::DATA_START + k * L::BLOCK_SIZE);
  }
  build::finish(z, z.size());
  temp_dir d;
  const std::string p = write_image(d, z, "z.113");
  std::string want;
  for (size_t k = 1; k <= 1000; k++)
    want += fmt("cartsift: %s: 0x15c00: extent in segment %zu goes back to uncompressed offset 0\n",
                p.c_str(), k);
  want += fmt("cartsift: %s: 0x15c00: more holes than the 1000 named; --info counts them\n"
              "0 entries, 0 files, 0 bytes; 1001 problems\n", p.c_str());
  EXPECT_EQ(run_bin_err({"--test", p}).err, want);
  EXPECT_NE(run_bin_err({"--info", p}).out.find("  holes        1099\n"), std::string::npos);
}

} // namespace
} // namespace cartsift
