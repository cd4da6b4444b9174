// The signature search scans whole windows of the image at a time; it must
// still return exactly what a byte-by-byte scan from the start offset
// returns, wherever a window happens to begin or end, and the window cache
// must hand out the same bytes as plain reads of the file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <random>

#include "image/image.h"
#include "support/capture.h"

namespace cartsift {
namespace {

using testing::scratch_image;

// The search as the format describes it: every position, no alignment, a
// value cut off by the end never found.
int64_t ref_search(const std::vector<uint8_t> &b, int64_t off, uint32_t sig) {
  if (off < 0)
    return -1;
  for (size_t i = size_t(off); i + 4 <= b.size(); i++)
    if (le32(b.data() + i) == sig)
      return int64_t(i);
  return -1;
}

// Bytes drawn from the value's own bytes and one other, so that partial
// matches of every length are everywhere.
std::vector<uint8_t> adversarial(size_t n, uint32_t sig, std::mt19937 &g, int other_pct) {
  std::vector<uint8_t> b(n);
  for (auto &c : b) {
    unsigned r = g() % 100;
    c = r < unsigned(other_pct) ? uint8_t(g()) : uint8_t(sig >> (8 * (g() % 4)));
  }
  return b;
}

void put_sig(std::vector<uint8_t> &b, size_t at, uint32_t sig) {
  for (size_t i = 0; i < 4 && at + i < b.size(); i++)
    b[at + i] = uint8_t(sig >> (8 * i));
}

TEST(FindSig, MatchesAPlainScanInMemory) {
  std::mt19937 g(7);
  for (uint32_t sig : {0x33CC33CCu, 0x66996699u, 0u, 0xCCCCCCCCu, 0x01020304u}) {
    for (int trial = 0; trial < 300; trial++) {
      // Lengths around the 64-byte steps of the scan, and much longer.
      size_t n = trial < 200 ? size_t(trial) : 200 + g() % 5000;
      auto b = adversarial(n, sig, g, trial % 3 == 0 ? 90 : 10);
      // Mostly without a whole match, so the scan runs to the end.
      for (size_t i = 0; i + 4 <= b.size(); i++)
        if (le32(b.data() + i) == sig && g() % 8 != 0)
          b[i] ^= 0x5A;
      int64_t want = ref_search(b, 0, sig);
      size_t got = find_sig(b.data(), b.size(), sig);
      EXPECT_EQ(got == b.size() ? int64_t(-1) : int64_t(got), want)
          << "sig " << std::hex << sig << std::dec << " n " << n;
    }
  }
}

TEST(FindSig, EveryPlaceInABlockAndCutOffAtTheEnd) {
  for (size_t n = 4; n < 140; n++) {
    for (size_t at = 0; at + 4 <= n; at++) {
      std::vector<uint8_t> b(n, 0x33);
      put_sig(b, at, 0x33CC33CC);
      ASSERT_EQ(find_sig(b.data(), n, 0x33CC33CC), at) << n << " " << at;
    }
    for (size_t cut = 1; cut < 4; cut++) { // only the first bytes fit
      std::vector<uint8_t> b(n, 0xCC);
      put_sig(b, n - cut, 0x33CC33CC);
      b[n - cut - 1] = 0x00;
      ASSERT_EQ(find_sig(b.data(), n, 0x33CC33CC), n) << n << " cut " << cut;
    }
  }
}

TEST(FndSig, MatchesAPlainScanAcrossWindows) {
  // Several windows' worth of near misses, values planted around the
  // window borders (multiples of 16 KiB cover the long and short windows
  // wherever they start), searches from many offsets and after reads that
  // leave the cache elsewhere.
  std::mt19937 g(2024);
  const uint32_t sig = 0x33CC33CC;
  for (int trial = 0; trial < 4; trial++) {
    auto b = adversarial(700000 + g() % 5000, sig, g, 50);
    for (size_t i = 0; i + 4 <= b.size(); i++)
      if (le32(b.data() + i) == sig)
        b[i] = 0;
    for (int k = 0; k < 12; k++) {
      size_t border = (1 + g() % 40) * (16 << 10);
      put_sig(b, border - 4 + g() % 8, sig);
    }
    put_sig(b, b.size() - 2, sig); // cut off by the end
    scratch_image img(b);
    for (int s = 0; s < 60; s++) {
      int64_t off = s < 4 ? int64_t(b.size()) - 6 + s : int64_t(g() % b.size());
      if (s % 3 == 0) { // leave the window somewhere else first
        uint8_t tmp[64];
        ASSERT_TRUE(seek_to(img.fd(), int64_t(g() % b.size())));
        ASSERT_GE(img_read(img.fd(), tmp, sizeof tmp), 0);
      }
      int64_t want = ref_search(b, off, sig);
      int64_t got = fnd_sig(img.fd(), off, sig);
      ASSERT_EQ(got, want) << "trial " << trial << " from " << off;
      if (got >= 0) { // the caller seeks and reads the entry there
        uint8_t v[4];
        ASSERT_TRUE(seek_to(img.fd(), got));
        ASSERT_EQ(img_read(img.fd(), v, 4), 4);
        EXPECT_EQ(le32(v), sig);
      }
    }
    EXPECT_EQ(fnd_sig(img.fd(), -1, sig), -1);
    EXPECT_EQ(fnd_sig(img.fd(), int64_t(b.size()) + 100, sig), -1);
  }
}

TEST(FndSig, ValuesStraddlingEachWindowBorder) {
  // The search refills the window 3 bytes before the end of the last one;
  // a value across any border must be found, whether the search starts
  // with a window of its own or inside the short one that a read after a
  // long skip left. Bytes 1 to 3 of the value stand before the border in
  // turn, and the places just clear of it are checked too.
  const uint32_t sig = 0x33CC33CC;
  const int64_t W = int64_t(IMG_WINDOW), F = int64_t(IMG_FAR_WINDOW);
  const int64_t S = 4 * W; // where the value stands
  std::vector<uint8_t> b(size_t(6 * W), 0x33);
  put_sig(b, size_t(S), sig);
  scratch_image img(b);
  const int64_t end = int64_t(b.size()) - 1;
  const int64_t back = 100; // how far before the start the short window begins
  struct scenario {
    bool inside;                  // start inside a short window
    std::vector<int64_t> borders; // distances from the start to each border
  };
  for (const scenario &sc : {scenario{false, {W, 2 * W - 3, 3 * W - 6}},
                             scenario{true, {F - back, F - back - 3 + W}}}) {
    for (int64_t border : sc.borders) {
      for (int64_t x = border - 5; x <= border + 1; x++) {
        const int64_t off = S - x;
        uint8_t one;
        ASSERT_TRUE(seek_to(img.fd(), end)); // the cache away from the start
        ASSERT_EQ(img_read(img.fd(), &one, 1), 1);
        if (sc.inside) {
          ASSERT_TRUE(seek_to(img.fd(), off - back));
          ASSERT_EQ(img_read(img.fd(), &one, 1), 1);
        }
        ASSERT_EQ(fnd_sig(img.fd(), off, sig), S) << "inside " << sc.inside << " x " << x;
      }
    }
  }
}

TEST(FndSig, UncachedDescriptorsSearchTheSame) {
  // A descriptor not opened through img_open takes the chunked path.
  std::mt19937 g(99);
  auto b = adversarial(5000, 0x33CC33CC, g, 30);
  scratch_image img(b);
  int fd = ::open(img.path().c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  for (int64_t off : {0, 1, 1021, 1022, 4000, 4996, 4997, 5000}) {
    EXPECT_EQ(fnd_sig(fd, off, 0x33CC33CC), ref_search(b, off, 0x33CC33CC)) << off;
    EXPECT_EQ(fnd_sig(img.fd(), off, 0x33CC33CC), ref_search(b, off, 0x33CC33CC)) << off;
  }
  ::close(fd);
}

TEST(ImgRead, SameBytesAsTheFileWhateverTheSteps) {
  // Short and long hops forward and back, reads from one byte to more than
  // a window, and reads that run past the end.
  std::mt19937 g(5);
  std::vector<uint8_t> b(900000);
  for (auto &c : b)
    c = uint8_t(g());
  scratch_image img(b);
  std::vector<uint8_t> got(400000);
  int64_t pos = 0;
  for (int step = 0; step < 400; step++) {
    switch (g() % 4) {
    case 0: pos += g() % 64; break;
    case 1: pos += g() % (300 << 10); break;
    case 2: pos -= std::min<int64_t>(pos, g() % (200 << 10)); break;
    default: pos = g() % (b.size() + 10); break;
    }
    ASSERT_EQ(img_seek(img.fd(), pos, SEEK_SET), pos);
    size_t n = g() % 3 == 0 ? g() % got.size() : g() % 300;
    int64_t r = img_read(img.fd(), got.data(), n);
    size_t want = pos >= int64_t(b.size()) ? 0 : std::min(n, b.size() - size_t(pos));
    ASSERT_EQ(r, int64_t(want)) << "at " << pos << " n " << n;
    ASSERT_TRUE(std::equal(got.begin(), got.begin() + long(want), b.begin() + pos))
        << "at " << pos << " n " << n;
    pos += int64_t(want);
    ASSERT_EQ(img_seek(img.fd(), 0, SEEK_CUR), pos);
  }
}

} // namespace
} // namespace cartsift
