// The QIC-122 frame decoder. Bits are taken most significant first from a
// 64-bit buffer that keeps the unread bits at its top; most refills load a
// whole word, so a token rarely costs more than a shift and a table look-up.
#include <cstring>

#include "image/image.h"

namespace cartsift {

namespace {

// Length codes by the next four bits: the length and the bits its code
// takes. 1111 (8) is followed by 4-bit groups that each add up to 15.
struct len_code {
  uint8_t len, bits;
};
constexpr len_code LEN_CODES[16] = {{2, 2}, {2, 2}, {2, 2}, {2, 2}, {3, 2}, {3, 2},
                                    {3, 2}, {3, 2}, {4, 2}, {4, 2}, {4, 2}, {4, 2},
                                    {5, 4}, {6, 4}, {7, 4}, {8, 4}};

// The stream's bit order is big-endian within each byte.
inline uint64_t load_be64(const uint8_t *p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return __builtin_bswap64(v);
}

} // namespace

int64_t qic122_decode(const uint8_t *src, size_t n, uint8_t *dst, size_t cap) {
  const uint8_t *p = src;
  const uint8_t *const end = src + n;
  uint64_t bb = 0;    // unread bits from the top down; zeros below them
  unsigned nb = 0;    // bits held
  unsigned slack = 0; // zero bits made up past the input's end, at the bottom
  size_t out = 0;

  // Leaves at least 57 bits. A whole-word load may put bits of the next
  // bytes below nb; the next load writes the same bits there, so the or is
  // harmless. Near the end bytes go in one at a time, and past it zeros that
  // count as slack: a token that used any of them ran off the input.
  auto refill = [&] {
    if (end - p >= 8) {
      bb |= load_be64(p) >> nb;
      p += (63 - nb) >> 3;
      nb |= 56;
      return;
    }
    for (; nb <= 56; nb += 8) {
      if (p < end)
        bb |= uint64_t(*p++) << (56 - nb);
      else
        slack += 8;
    }
  };

  for (;;) {
    // Every fixed part of a token (17 bits at most) fits in what is held.
    if (nb < 32)
      refill();
    if (!(bb >> 63)) {
      const auto c = uint8_t(bb >> 55);
      bb <<= 9;
      nb -= 9;
      if (nb < slack)
        return QIC122_NO_END;
      if (out == cap)
        return QIC122_TOO_LONG;
      dst[out++] = c;
      continue;
    }

    // 1 1xxxxxxx or 1 0xxxxxxxxxxx: chosen without a branch, the form
    // being as unpredictable as the data.
    const bool short_form = bb >> 62 & 1;
    const unsigned head = short_form ? 9 : 13;
    const size_t off = size_t(bb << 2 >> (short_form ? 57 : 53));
    bb <<= head;
    nb -= head;
    if (off == 0 && short_form) // the end marker
      return nb < slack ? int64_t(QIC122_NO_END) : int64_t(out);
    const len_code lc = LEN_CODES[bb >> 60];
    size_t len = lc.len;
    bb <<= lc.bits;
    nb -= lc.bits;
    if (lc.len == 8) {
      for (;;) {
        if (nb < 4)
          refill();
        const auto g = unsigned(bb >> 60);
        bb <<= 4;
        nb -= 4;
        len += g;
        if (g != 15)
          break;
        // Made-up bits are zeros and end a length, so this is real input;
        // stopping here also keeps a run of 1111 groups from counting on.
        if (len > cap - out)
          return QIC122_TOO_LONG;
      }
    }
    if (nb < slack)
      return QIC122_NO_END;
    if (off - 1 >= out) // 0 (an 11-bit zero) wraps around
      return QIC122_BAD_OFFSET;
    if (len > cap - out)
      return QIC122_TOO_LONG;

    uint8_t *d = dst + out;
    const uint8_t *s = d - off;
    out += len;
    if (off >= 8 && cap - out >= 8) {
      // Whole words, the last running past the copy's end but not past cap;
      // at 8 back or more a word reads only bytes already final.
      uint8_t *const e = d + len;
      do {
        std::memcpy(d, s, 8);
        d += 8;
        s += 8;
      } while (d < e);
    } else if (off == 1) {
      std::memset(d, *s, len);
    } else {
      for (size_t i = 0; i < len; ++i)
        d[i] = s[i];
    }
  }
}

} // namespace cartsift
