// Length-prefixed 16-bit strings.
#include <algorithm>
#include <cstring>

#include "records/records.h"

namespace cartsift {

bool read_unistr(int fp, uni_ptr &s) {
  uint8_t lw[2];
  if (img_read(fp, lw, 2) != 2) {
    s.reset();
    return false;
  }
  // The length is at most 65535, so the allocation is bounded whatever the
  // image says; a length that runs past the end fails the read below.
  const uint16_t len = le16(lw);
  uint8_t *p = uni_fit(s, len);
  if (len > 0 && img_read(fp, p, len) != len) {
    s.reset();
    return false;
  }
  return true;
}

uint8_t *uni_fit(uni_ptr &s, uint16_t len) {
  if (!s)
    s = std::make_unique<uni_str>();
  if (s->cap < len || !s->ustr) {
    s->cap = std::max<size_t>(len, 64);
    s->ustr = std::make_unique<uint8_t[]>(s->cap);
  }
  s->len = len;
  return s->ustr.get();
}

uni_ptr get_unistr(int fp) {
  uni_ptr s;
  read_unistr(fp, s);
  return s;
}

uni_ptr dup_uni_str(const uni_str &us) {
  auto s = std::make_unique<uni_str>();
  s->len = us.len;
  s->ustr = std::make_unique<uint8_t[]>(us.len > 0 ? us.len : 1);
  if (us.len > 0)
    std::memcpy(s->ustr.get(), us.ustr.get(), us.len);
  return s;
}

namespace {

// Low byte of every character; an odd length ends on its lone last byte.
void narrow_out(const uni_str &s, bool as_path) {
  char tmp[256];
  size_t n = 0;
  for (size_t i = 0; i < s.len; i += 2) {
    char c = static_cast<char>(s.ustr[i]);
    tmp[n++] = (as_path && c == 0) ? '/' : c;
    if (n == sizeof tmp) {
      out_bytes(tmp, n);
      n = 0;
    }
  }
  out_bytes(tmp, n);
}

} // namespace

void disp_uni_str(const uni_str &s) { narrow_out(s, false); }

void disp_uni_path(const uni_str &s) { narrow_out(s, true); }

} // namespace cartsift

namespace cartsift {

void put_utf8(std::string &to, char32_t c) {
  // Surrogates and values past U+10FFFF are not characters: never written.
  if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF)
    c = 0xFFFD;
  if (c < 0x80) {
    to += static_cast<char>(c);
  } else if (c < 0x800) {
    to += static_cast<char>(0xC0 | (c >> 6));
    to += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    to += static_cast<char>(0xE0 | (c >> 12));
    to += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    to += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    to += static_cast<char>(0xF0 | (c >> 18));
    to += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    to += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    to += static_cast<char>(0x80 | (c & 0x3F));
  }
}

size_t next_utf16(const uint8_t *p, size_t n, size_t i, char32_t *c) {
  if (i + 1 >= n) { // a lone last byte of an odd length
    *c = 0xFFFD;
    return n;
  }
  char32_t u = char32_t(p[i]) | char32_t(p[i + 1]) << 8;
  i += 2;
  if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n) {
    char32_t lo = char32_t(p[i]) | char32_t(p[i + 1]) << 8;
    if (lo >= 0xDC00 && lo <= 0xDFFF) {
      *c = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
      return i + 2;
    }
  }
  *c = (u >= 0xD800 && u <= 0xDFFF) ? 0xFFFD : u;
  return i;
}

std::string utf8_of(const uni_str &s) {
  std::string r;
  r.reserve(s.len);
  for (size_t i = 0; i < s.len;) {
    char32_t c;
    i = next_utf16(s.ustr.get(), s.len, i, &c);
    put_utf8(r, c);
  }
  return r;
}

} // namespace cartsift
