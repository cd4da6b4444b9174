// The window cache behind the image reads, shared by the reads, the copy,
// the signature search and the set stream of this folder; no other layer
// includes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "image/image.h"

namespace cartsift::window {

constexpr size_t WIN_SIZE = IMG_WINDOW;
constexpr size_t FAR_SIZE = IMG_FAR_WINDOW;

enum class copy_way { range, user };

// A window of the file kept in memory. The logical position is ours, so a
// seek costs nothing and a read is a copy unless it leaves the window.
struct img_file {
  int fd = -1;
  int64_t pos = 0;
  std::unique_ptr<uint8_t[]> win;
  int64_t win_off = 0;
  size_t win_len = 0;
  copy_way copy = copy_way::range; // what the kernel has not refused yet
};

img_file *find(int fd);
int64_t file_size(int fd);
// read(2) until n bytes or end of file; at < 0 reads at the file position.
int64_t read_full(int fd, void *dst, size_t n, int64_t at);
// Bytes written before the first failure.
size_t write_some(int fd, const uint8_t *p, size_t n);

inline int64_t win_end(const img_file &f) { return f.win_off + int64_t(f.win_len); }
inline bool in_window(const img_file &f, int64_t pos) {
  return pos >= f.win_off && pos < win_end(f);
}
// Refills the window at the file's position; false on a read error.
bool fill(img_file &f, size_t want = 0);

// Set streams answer to descriptors from STREAM_FD on; the img_* calls
// hand those over to these.
constexpr int STREAM_FD = 0x40000000;
inline bool is_stream(int fp) { return fp >= STREAM_FD; }
int64_t stream_seek(int sfd, int64_t off, int whence);
int64_t stream_read(int sfd, void *dst, size_t n);
int64_t stream_copy(int sfd, int fo, int64_t n, bool *rfail);
int64_t stream_find(int sfd, int64_t off, uint32_t sig);

} // namespace cartsift::window
