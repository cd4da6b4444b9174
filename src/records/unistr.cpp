// Length-prefixed 16-bit strings.
#include <cstring>

#include "records/records.h"

namespace cartsift {

uni_ptr get_unistr(int fp) {
  uint8_t lw[2];
  if (img_read(fp, lw, 2) != 2)
    return nullptr;
  auto s = std::make_unique<uni_str>();
  s->len = le16(lw);
  // The length is at most 65535, so the allocation is bounded whatever the
  // image says; a length that runs past the end fails the read below.
  s->ustr = std::make_unique<uint8_t[]>(s->len > 0 ? s->len : 1);
  if (s->len > 0 && img_read(fp, s->ustr.get(), s->len) != s->len)
    return nullptr;
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
