// Output writes shared by the extractor and the continuation step.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <unistd.h>

namespace cartsift {

// A short write is only an error when the rest cannot follow (disk full).
inline bool write_full(int fd, const uint8_t *p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w < 0 && errno == EINTR)
      continue;
    if (w <= 0)
      return false;
    p += w;
    n -= size_t(w);
  }
  return true;
}

} // namespace cartsift
