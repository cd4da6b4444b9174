// Compressed frames: the decoder against the builder's encoder, against
// streams written token by token, and on streams it must refuse; and the
// builder's compressed volumes read back segment by segment.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "set/set.h"
#include "img_builder.h"
#include "support/capture.h"

namespace cartsift {
namespace {

using bytes = std::vector<uint8_t>;

// Decodes into a buffer of exactly cap bytes (so ASan sees any overrun)
// from a copy of exactly the input's size.
int64_t decode(const bytes &in, size_t cap, bytes *out = nullptr) {
  bytes src(in), dst(cap);
  int64_t r = qic122_decode(src.data(), src.size(), dst.data(), cap);
  if (out && r >= 0)
    out->assign(dst.begin(), dst.begin() + r);
  return r;
}

// Streams written token by token, most significant bit first.
struct bits {
  bytes b;
  size_t n = 0;
  bits &put(uint32_t v, unsigned k) {
    while (k-- > 0) {
      if (n % 8 == 0)
        b.push_back(0);
      b.back() |= uint8_t((v >> k & 1) << (7 - n % 8));
      ++n;
    }
    return *this;
  }
  bits &lit(uint8_t c) { return put(c, 9); }
  bits &copy(unsigned off, size_t len) {
    put(1, 1);
    off < 128 ? put(0x80 | off, 8) : put(off, 12);
    if (len <= 4)
      return put(uint32_t(len - 2), 2);
    if (len <= 7)
      return put(uint32_t(len + 7), 4); // 1100 is 5
    put(15, 4);
    for (len -= 8; len >= 15; len -= 15)
      put(15, 4);
    return put(uint32_t(len), 4);
  }
  bits &end() { return put(0x180, 9); }
};

bytes str(const std::string &s) { return bytes(s.begin(), s.end()); }
std::string rep(const std::string &s, size_t n) {
  std::string r;
  while (r.size() < n)
    r += s;
  return r.substr(0, n);
}

TEST(Qic122, DecodesEachCode) {
  const struct {
    const char *what;
    bits in;
    std::string want;
  } cases[] = {
      {"literals only", bits().lit('h').lit('i').end(), "hi"},
      {"nothing", bits().end(), ""},
      {"lengths 2 to 4", bits().lit('a').copy(1, 2).copy(3, 3).copy(6, 4).end(), rep("a", 10)},
      {"lengths 5 to 7", bits().lit('a').lit('b').copy(2, 5).copy(2, 6).copy(2, 7).end(),
       rep("ab", 20)},
      {"8 and one group", bits().lit('x').copy(1, 8).copy(1, 22).copy(1, 23).end(), rep("x", 54)},
      {"two and more groups", bits().lit('a').lit('b').copy(2, 41).copy(2, 300).end(),
       rep("ab", 343)},
      {"11-bit offsets", bits().lit('q').lit('r').copy(1, 198).copy(200, 2).end(),
       "q" + rep("r", 199) + "qr"},
      {"farthest back", bits().lit('p').lit('q').copy(1, 2045).copy(2047, 3).end(),
       "p" + rep("q", 2046) + "pqq"},
      {"marker ends on a byte",
       bits().lit('1').lit('2').lit('3').lit('4').lit('5').lit('6').lit('7').end(), "1234567"},
      {"marker starts on a byte",
       bits().lit('1').lit('2').lit('3').lit('4').lit('5').lit('6').lit('7').lit('8').end().put(
           0xFFFF, 16),
       "12345678"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    bytes got;
    ASSERT_EQ(decode(c.in.b, 4096, &got), int64_t(c.want.size()));
    EXPECT_EQ(got, str(c.want));
  }
}

TEST(Qic122, Refuses) {
  bits cut = bits().lit('A').put(0x180 >> 2, 7); // the marker's last two bits missing
  const struct {
    const char *what;
    bytes in;
    int64_t want;
  } cases[] = {
      {"copy first", bits().copy(1, 2).end().b, QIC122_BAD_OFFSET},
      {"two back from one", bits().lit('A').copy(2, 2).end().b, QIC122_BAD_OFFSET},
      {"11-bit zero", bits().lit('A').put(0b1000000000000, 13).put(0, 2).end().b,
       QIC122_BAD_OFFSET},
      {"empty", {}, QIC122_NO_END},
      {"no marker", bits().lit('A').lit('B').b, QIC122_NO_END},
      {"marker cut", cut.b, QIC122_NO_END},
      {"groups run off", bits().lit('A').put(0x181, 9).put(0xFF, 8).b, QIC122_NO_END},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(decode(c.in, 4096), c.want);
  }
}

TEST(Qic122, FrameLimit) {
  const size_t max = QIC122_FRAME_MAX;
  bits lits, run = bits().lit('z').copy(1, max - 1), run1 = bits().lit('z').copy(1, max);
  for (size_t i = 0; i < max; ++i)
    lits.lit(uint8_t(i));
  bits lits1 = bits(lits).lit(0);
  for (bits *b : {&lits, &lits1, &run, &run1})
    b->end();
  EXPECT_EQ(decode(lits.b, max), int64_t(max));
  EXPECT_EQ(decode(lits1.b, max), QIC122_TOO_LONG);
  EXPECT_EQ(decode(run.b, max), int64_t(max));
  EXPECT_EQ(decode(run1.b, max), QIC122_TOO_LONG);
}

// Random bytes, runs, words, or short repeats at all distances among noise.
bytes sample(char kind, size_t n) {
  std::mt19937 rng(7);
  const char *words[] = {"tape ", "cartridge ", "volume ", "the ", "of ", "backup\r\n"};
  std::string text;
  while (kind == 't' && text.size() < n)
    text += words[rng() % 6];
  bytes b(text.begin(), text.begin() + ptrdiff_t(kind == 't' ? n : 0));
  for (size_t i = b.size(); i < n; ++i)
    b.push_back(kind == 'r'               ? uint8_t(rng())
                : kind == 'u'             ? uint8_t(i / 300 % 3 ? 0 : i / 300)
                : i > 0 && rng() % 4 == 0 ? b[i - 1 - rng() % std::min<size_t>(i, 3000)]
                                          : uint8_t(rng() % 16));
  return b;
}

TEST(Qic122, DecodesWhatTheEncoderWrites) {
  for (char kind : {'r', 'u', 't', 'm'})
    for (size_t n : {size_t(0), size_t(1), size_t(5000), QIC122_FRAME_MAX})
      for (bool lazy : {false, true}) {
        SCOPED_TRACE(kind + std::to_string(n) + (lazy ? " lazy" : ""));
        const bytes in = sample(kind, n);
        const bytes z = build::lz_compress(in, lazy);
        bytes got;
        ASSERT_EQ(decode(z, n, &got), int64_t(n));
        EXPECT_EQ(got, in);
        // A bounded stream holds a prefix and keeps to its bound.
        bytes part;
        size_t used = build::lz_compress(in, 300, part, lazy);
        ASSERT_LE(part.size(), 300u);
        ASSERT_EQ(decode(part, n, &got), int64_t(used));
        EXPECT_TRUE(std::equal(got.begin(), got.end(), in.begin()));
      }
}

// A reader of the layout img_builder.h describes, over the first nseg
// segments: the uncompressed stream, each extent's offset checked on the way.
bytes read_stream(const build::image &c, size_t nseg, bool span, unsigned w) {
  const size_t B = 0x7400, start = 0x15C00, body = span ? B - 2 : B;
  bytes seg, s; // seg: the segments' bodies back to back
  for (size_t k = 0; k < nseg; ++k)
    seg.insert(seg.end(), c.b.begin() + ptrdiff_t(start + k * B + B - body),
               c.b.begin() + ptrdiff_t(start + (k + 1) * B));
  auto le = [&](size_t i, unsigned n) {
    uint64_t v = 0;
    for (unsigned k = 0; k < n; ++k)
      v |= uint64_t(seg.at(i + k)) << 8 * k;
    return size_t(v);
  };
  // Bytes left in the segment at i; a segment's end is not the next one's
  // start.
  auto left = [&](size_t i) { return (body - i % body) % body; };
  for (size_t i = 0; i + w + 2 <= seg.size();) {
    const size_t off = le(i, w), had = s.size();
    size_t frames = 0;
    for (i += w; left(i) >= 18; ++frames) {
      const size_t n = le(i, 2), len = n & 0x7FFF;
      i += 2;
      if (n == 0)
        break;
      if (i + len > seg.size()) // the comparison with the region shows it
        return s;
      bytes f(seg.begin() + ptrdiff_t(i), seg.begin() + ptrdiff_t(i + len)), out;
      if (n & 0x8000)
        out = f;
      else
        EXPECT_GT(decode(f, QIC122_FRAME_MAX, &out), 0);
      s.insert(s.end(), out.begin(), out.end());
      i += len;
    }
    if (frames == 0) // fill
      break;
    EXPECT_EQ(off, had);
    if (!span || left(i) < w + 18) { // the next segment's first extent
      const size_t k = (i + body - 1) / body;
      const size_t first = k < nseg && span ? c.get_u16(start + k * B) : 2;
      if (first < 2)
        return s;
      i = k * body + first - 2;
    }
  }
  return s;
}

TEST(Qic122, CompressedVolumeHoldsTheDataRegion) {
  using namespace build;
  image plain;
  plain.header(0, hdr_text(5, 1));
  plain.vtbl({});
  const uint32_t t = utc(1997, 3, 1);
  const bytes big = sample('m', 300000), noise = sample('r', 70000);
  size_t cat = backup(plain, {drive_spec("C:"), file_entry("A.BIN", {}, "", t),
                              file_entry("T.TXT", {}, std::string(big.begin(), big.end()), t),
                              file_entry("R.BIN", {}, std::string(noise.begin(), noise.end()), t)});
  finish(plain, cat);
  const bytes region(plain.b.begin() + 0x15C00, plain.b.begin() + ptrdiff_t(cat));
  const bytes catalog(plain.b.begin() + ptrdiff_t(cat), plain.b.end());
  for (unsigned w : {8u, 4u})
    for (bool span : {false, true}) {
      SCOPED_TRACE(std::to_string(w) + (span ? " spanning" : ""));
      image c = compress_image(plain, {.offset_width = w, .spanning = span});
      EXPECT_EQ(c.b[0xE800 + 124], 0x81);
      EXPECT_EQ(c.b[0xE800 + 56] & 0x10, span ? 0x10 : 0);
      EXPECT_LT(c.size(), plain.size());
      const size_t dblk = (c.get_u32(0xE800 + 92) + 0x73FF) / 0x7400;
      const size_t cat_at = (c.get_u32(10) - dblk) * 0x7400;
      EXPECT_TRUE(std::equal(catalog.begin(), catalog.begin() + c.get_u32(0xE800 + 92),
                             c.b.begin() + ptrdiff_t(cat_at)));
      const size_t nseg = (cat_at - 0x15C00) / 0x7400;
      EXPECT_EQ(read_stream(c, nseg, span, w), region);
      size_t through = 0; // segments that only continue an extent
      for (size_t k = 0; span && k < nseg; ++k)
        through += c.get_u16(0x15C00 + k * 0x7400) == 0;
      EXPECT_EQ(through > 0, span);
    }
  image c = compress_image(plain, {.catalog_in_stream = true, .frame_in = 20000});
  bytes both = region;
  both.insert(both.end(), catalog.begin(), catalog.begin() + plain.get_u32(0xE800 + 92));
  EXPECT_EQ(c.get_u32(0xE800 + 96), region.size()); // dataSz
  EXPECT_EQ(read_stream(c, (c.size() - 0x15C00) / 0x7400, false, 8), both);
}

// Reads through the set stream that go forward extent by extent are served
// by decoding ahead; a jump back or far on must drop what was decoded ahead
// and still give the region's bytes.
TEST(Qic122, StreamReadsAnywhereGiveTheRegion) {
  using namespace build;
  image plain;
  plain.header(0, hdr_text(5, 1));
  plain.vtbl({});
  const bytes text = sample('m', 900000);
  size_t cat = backup(
      plain, {drive_spec("C:"),
              file_entry("T.TXT", {}, std::string(text.begin(), text.end()), utc(1997, 3, 1))});
  finish(plain, cat);
  const bytes region(plain.b.begin() + 0x15C00, plain.b.begin() + ptrdiff_t(cat));
  for (bool span : {false, true}) {
    SCOPED_TRACE(span ? "spanning" : "one extent a segment");
    image c = compress_image(plain, {.spanning = span, .frame_in = 7000});
    testing::scratch_image f(c.b);
    const int64_t dblk = (c.get_u32(0xE800 + 92) + 0x73FF) / 0x7400;
    const int sfd =
        set_open({{f.path(), 0x15C00, (c.get_u32(10) - dblk) * 0x7400, false, true, span}});
    ASSERT_GE(sfd, 0);
    std::mt19937 rng(7);
    int64_t at = 0;
    for (int step = 0; step < 400; step++) {
      // Mostly short reads with short skips, as a walk makes; now and then
      // a jump anywhere.
      const bool jump = rng() % 10 == 0;
      at = jump ? int64_t(rng() % region.size())
                : (at + int64_t(rng() % 6000)) % int64_t(region.size());
      bytes got(1 + rng() % 3000);
      ASSERT_EQ(img_seek(sfd, at, SEEK_SET), at);
      const int64_t n = img_read(sfd, got.data(), got.size());
      ASSERT_EQ(n, std::min<int64_t>(int64_t(got.size()), int64_t(region.size()) - at));
      ASSERT_TRUE(std::equal(got.begin(), got.begin() + n, region.begin() + at)) << "at " << at;
    }
    img_close(sfd);
  }
}

} // namespace
} // namespace cartsift
