// Output writes shared by the extractor and the continuation step.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/image.h"
#include "platform/platform.h"

namespace cartsift {

// A short write is only an error when the rest cannot follow (disk full).
inline bool write_full(int fd, const uint8_t *p, size_t n) {
  return platform::write_some(fd, p, n) == n;
}

// File data is copied as a loop of reads and writes of up to BUF_SIZE bytes
// would copy it: the progress dots count those chunks, a failing chunk is
// not counted as written, and one the image could not supply in full is not
// written at all. The bytes themselves move in as few system calls as the
// image layer manages.
struct chunk_copy {
  int64_t wr = 0;     // bytes of the chunks that went through whole
  int64_t chunks = 0; // chunks attempted, the failing one included
  bool ok = true;
};

// n > 0 bytes from the image's position to fo, whose position is at.
inline chunk_copy copy_chunks(int fp, int fo, int64_t at, int64_t n) {
  chunk_copy c;
  bool rfail = false;
  int64_t got = img_copy(fp, fo, n, &rfail);
  if (got == n) {
    c.wr = n;
    c.chunks = (n + int64_t(BUF_SIZE) - 1) / int64_t(BUF_SIZE);
    return c;
  }
  c.ok = false;
  c.chunks = got / int64_t(BUF_SIZE) + 1;
  c.wr = (c.chunks - 1) * int64_t(BUF_SIZE);
  // A chunk the image ran short in was never written; one the output
  // refused keeps what the write managed.
  if (rfail && got > c.wr && !platform::truncate(fo, at + c.wr)) {
    // The chunk is reported as failed either way.
  }
  return c;
}

// One dot for every 50 chunks, counted from a chunk count of `from`.
inline void chunk_dots(int64_t from, int64_t to) {
  for (int64_t d = to / 50 - from / 50; d > 0; d--)
    out_char('.');
}

} // namespace cartsift
