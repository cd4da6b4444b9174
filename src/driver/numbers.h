// Number readings of the command line, as the C conversions read them:
// leading white space, an optional sign, digits; the rest of the text is
// ignored. False when no digit could be read.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace cartsift {

inline bool scan_dec(const char *s, long long *v) {
  char *end = nullptr;
  errno = 0;
  long long r = std::strtoll(s, &end, 10);
  if (end == s)
    return false;
  *v = r;
  return true;
}

// "%d": the long reading narrowed to int.
inline bool scan_int(const char *s, int32_t *v) {
  long long r;
  if (!scan_dec(s, &r))
    return false;
  *v = static_cast<int32_t>(static_cast<uint64_t>(r));
  return true;
}

// "%lx": an optional 0x, and a minus sign that negates (so "-1" reads as all
// bits set, which as an offset is -1).
inline bool scan_hex(const char *s, int64_t *v) {
  char *end = nullptr;
  errno = 0;
  unsigned long long r = std::strtoull(s, &end, 16);
  if (end == s)
    return false;
  *v = static_cast<int64_t>(r);
  return true;
}

} // namespace cartsift
