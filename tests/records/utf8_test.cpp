// Names reach file systems and JSON as UTF-8, so whatever 16-bit units an
// image holds, what comes out must be well-formed: shortest forms only, no
// surrogate code points, nothing past U+10FFFF.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "records/records.h"

namespace cartsift {
namespace {

// The code points of s, or {-1} at the first ill-formed sequence.
std::vector<long> strict_decode(const std::string &s) {
  std::vector<long> v;
  for (size_t i = 0, n; i < s.size(); i += n) {
    const uint8_t b = uint8_t(s[i]);
    n = b < 0x80 ? 1 : b < 0xC2 ? 0 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : b < 0xF5 ? 4 : 0;
    long c = n == 1 ? b : b & (0x7F >> n);
    for (size_t k = 1; k < n; k++)
      c = i + k < s.size() && (uint8_t(s[i + k]) & 0xC0) == 0x80 ? c << 6 | (s[i + k] & 0x3F) : -1;
    const long least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (n == 0 || c < least[n] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF)
      return {-1};
    v.push_back(c);
  }
  return v;
}

std::string utf8_of_bytes(const std::vector<uint8_t> &b) {
  uni_str s;
  s.len = uint16_t(b.size());
  s.ustr = std::make_unique<uint8_t[]>(b.size() + 1);
  if (!b.empty()) // an empty vector's data() may be null
    std::memcpy(s.ustr.get(), b.data(), b.size());
  return utf8_of(s);
}

std::vector<uint8_t> le(std::initializer_list<unsigned> units) {
  std::vector<uint8_t> b;
  for (unsigned u : units) {
    b.push_back(uint8_t(u));
    b.push_back(uint8_t(u >> 8));
  }
  return b;
}

TEST(Utf8, EveryBoundaryAndEveryKindOfBrokenPair) {
  const std::string R = "\xEF\xBF\xBD", U10000 = "\xF0\x90\x80\x80"; // U+FFFD, U+10000
  const struct {
    std::vector<uint8_t> in;
    std::string out;
  } cases[] = {
      {le({0x41, 0x7F}), "A\x7F"}, {le({0x80}), "\xC2\x80"}, {le({0x7FF}), "\xDF\xBF"},
      {le({0x800}), "\xE0\xA0\x80"}, {le({0xD7FF}), "\xED\x9F\xBF"}, {le({0xE000}), "\xEE\x80\x80"},
      {le({0xFFFD, 0xFFFF}), R + "\xEF\xBF\xBF"}, {le({0xD800, 0xDC00}), U10000},
      {le({0xDBFF, 0xDFFF}), "\xF4\x8F\xBF\xBF"}, {le({0xD800, 0x41}), R + "A"},
      {le({0x41, 0xDBFF}), "A" + R}, {le({0xDC00, 0x42}), R + "B"}, {le({0xDFFF, 0xD800}), R + R},
      {le({0xD800, 0xD800, 0xDC00}), R + U10000}, {le({0xD800, 0xDC00, 0xDC00}), U10000 + R},
      {{0x41}, R}, {{0x41, 0x00, 0x42}, "A" + R}, {{0x00, 0xD8, 0x00}, R + R}, // odd lengths
      {{0x00, 0xD8, 0x00, 0xDC, 0x43}, U10000 + R}, {{}, ""},
  };
  for (const auto &c : cases)
    EXPECT_EQ(utf8_of_bytes(c.in), c.out) << ::testing::PrintToString(c.in);
  for (char32_t c : {0xD800u, 0xDFFFu, 0x110000u, 0xFFFFFFFFu}) {
    std::string s;
    put_utf8(s, c);
    EXPECT_EQ(s, R) << std::hex << uint32_t(c);
  }
}

// Every unit alone and every surrogate pair decode back, strictly, to the
// character they stand for.
TEST(Utf8, AllUnitsAndAllPairsComeOutWellFormed) {
  for (unsigned u = 0; u <= 0xFFFF; u++)
    ASSERT_EQ(strict_decode(utf8_of_bytes(le({u}))),
              std::vector<long>{u >= 0xD800 && u <= 0xDFFF ? 0xFFFD : long(u)}) << std::hex << u;
  for (unsigned hi = 0xD800; hi <= 0xDBFF; hi++)
    for (unsigned lo = 0xDC00; lo <= 0xDFFF; lo++)
      ASSERT_EQ(strict_decode(utf8_of_bytes(le({hi, lo}))),
                std::vector<long>{0x10000 + long(hi - 0xD800) * 0x400 + long(lo - 0xDC00)})
          << std::hex << hi << " " << lo;
}

} // namespace
} // namespace cartsift
