// The QIC-122 frame decoder. Bits are taken most significant first from a
// 64-bit buffer that keeps the unread bits at its top; most refills load a
// whole word, so a token rarely costs more than a shift and a table look-up.
#include <array>
#include <cstring>

#include "zvol/zvol.h"

namespace cartsift {

namespace {

// Length codes by the next eight bits: the length and the bits its code
// takes. 00, 01 and 10 are 2 to 4; 1100 to 1110 are 5 to 7; 1111 is
// followed by 4-bit groups, and one below 15 ends the length at 8 plus it.
// Only 1111 1111 (23 or more) leaves groups to read: length 0 here.
struct len_code {
  uint8_t len, bits;
};
constexpr std::array<len_code, 256> make_len_codes() {
  std::array<len_code, 256> t{};
  for (unsigned v = 0; v < 256; v++) {
    if (v >> 6 != 3)
      t[v] = {uint8_t(2 + (v >> 6)), 2};
    else if ((v >> 4 & 3) != 3)
      t[v] = {uint8_t(5 + (v >> 4 & 3)), 4};
    else if ((v & 15) != 15)
      t[v] = {uint8_t(8 + (v & 15)), 8};
    else
      t[v] = {0, 8};
  }
  return t;
}
constexpr std::array<len_code, 256> LEN_CODES = make_len_codes();
// Output room that takes any copy of a length from the table, written as
// whole words.
constexpr size_t FAST_ROOM = 32;

// The stream's bit order is big-endian within each byte.
inline uint64_t load_be64(const uint8_t *p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return __builtin_bswap64(v);
}

// A copy of len bytes from off back, cap - (d - dst) = room bytes being
// left. At 8 back or more a word reads only bytes already final, so a copy
// goes in whole words, three whatever the length (most are 22 bytes or
// less); the bytes written past its end are overwritten by what follows.
inline void copy_back(uint8_t *d, size_t off, size_t len, size_t room) {
  const uint8_t *s = d - off;
  if (off >= 8 && room >= 24) {
    std::memcpy(d, s, 8);
    std::memcpy(d + 8, s + 8, 8);
    std::memcpy(d + 16, s + 16, 8);
    if (len > 24) {
      uint8_t *const e = d + len;
      d += 24;
      s += 24;
      for (; e - d >= 8; d += 8, s += 8)
        std::memcpy(d, s, 8);
      if (room - len >= 8) // the last word may run past e, not past cap
        std::memcpy(d, s, 8);
      else
        while (d < e)
          *d++ = *s++;
    }
  } else if (off == 1) {
    std::memset(d, *s, len);
  } else {
    for (size_t i = 0; i < len; ++i)
      d[i] = s[i];
  }
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

  // After 1111 1111 (23 so far), groups of four bits until one below 15;
  // 0 when the length passes the room. Made-up bits are zeros and end a
  // length, so a 1111 group is real input; stopping at the room keeps a
  // long run of them from counting on.
  auto long_length = [&]() -> size_t {
    size_t len = 23;
    for (;;) {
      if (len > cap - out)
        return 0;
      if (nb < 4)
        refill();
      const auto g = unsigned(bb >> 60);
      bb <<= 4;
      nb -= 4;
      len += g;
      if (g != 15)
        return len;
    }
  };

  // Most of a frame: a whole word can be loaded, and there is room for two
  // copies of any length the table gives, so neither the input's end nor
  // the output's is checked token by token. One load serves two tokens (42
  // bits at most), which takes it off the path from one token to the next
  // every other time.
  while (end - p >= 8 && cap - out >= 2 * FAST_ROOM) {
    bb |= load_be64(p) >> nb;
    p += (63 - nb) >> 3;
    nb |= 56;
    for (int t = 0; t < 2; t++) {
      if (!(bb >> 63)) {
        dst[out++] = uint8_t(bb >> 55);
        bb <<= 9;
        nb -= 9;
        continue;
      }
      const auto short_form = unsigned(bb >> 62 & 1);
      const unsigned head = 13 - 4 * short_form;
      const size_t off = size_t(bb << 2 >> (53 + 4 * short_form));
      bb <<= head;
      nb -= head;
      if (off == 0 && short_form)
        return int64_t(out);
      const len_code lc = LEN_CODES[bb >> 56];
      size_t len = lc.len;
      bb <<= lc.bits;
      nb -= lc.bits;
      if (len == 0) {
        t = 2; // the groups may have used the bits of the second token
        if ((len = long_length()) == 0)
          return QIC122_TOO_LONG;
        if (nb < slack)
          return QIC122_NO_END;
      }
      if (off - 1 >= out)
        return QIC122_BAD_OFFSET;
      if (len > cap - out) // only a length read in groups can be so long
        return QIC122_TOO_LONG;
      copy_back(dst + out, off, len, cap - out);
      out += len;
    }
  }

  // The rest, with every check.
  for (;;) {
    // Every fixed part of a token (21 bits at most) fits in what is held.
    // Far from the end a word goes in before every token, which costs less
    // than the branch on how many bits are left.
    if (end - p >= 8) {
      bb |= load_be64(p) >> nb;
      p += (63 - nb) >> 3;
      nb |= 56;
    } else if (nb < 32) {
      refill();
    }
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
    const auto short_form = unsigned(bb >> 62 & 1);
    const unsigned head = 13 - 4 * short_form;
    const size_t off = size_t(bb << 2 >> (53 + 4 * short_form));
    bb <<= head;
    nb -= head;
    if (off == 0 && short_form) // the end marker
      return nb < slack ? int64_t(QIC122_NO_END) : int64_t(out);
    const len_code lc = LEN_CODES[bb >> 56];
    size_t len = lc.len;
    bb <<= lc.bits;
    nb -= lc.bits;
    if (len == 0 && (len = long_length()) == 0)
      return QIC122_TOO_LONG;
    if (nb < slack)
      return QIC122_NO_END;
    if (off - 1 >= out) // 0 (an 11-bit zero) wraps around
      return QIC122_BAD_OFFSET;
    if (len > cap - out)
      return QIC122_TOO_LONG;
    copy_back(dst + out, off, len, cap - out);
    out += len;
  }
}

} // namespace cartsift
