// Descriptors and positioned reads over an image, through a window cache.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "image/window.h"

namespace cartsift {

// Closing through img_close drops any window kept for the descriptor, so a
// later open that reuses the number starts clean.
void fd_guard::reset(int fd) {
  if (fd_ >= 0 && fd_ != fd)
    img_close(fd_);
  fd_ = fd;
}

namespace window {

// System calls are what a walk pays for (a few microseconds each here), so
// the window is refilled in reads large enough to serve many entries, yet
// small enough to stay in the processor's cache while they are parsed
// (128 KiB to 512 KiB measured alike; 1 MiB was slower). A read far from the
// window (a long skip over file data) fetches a short window instead, as
// only the next entry's header is wanted there.
namespace {

// A run has few images open at once: the one being walked, the next image
// of a set while a file is completed from it, a catalog read beside a walk.
img_file files[4];

} // namespace

img_file *find(int fd) {
  if (fd < 0)
    return nullptr;
  for (auto &f : files)
    if (f.fd == fd)
      return &f;
  return nullptr;
}

int64_t file_size(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0)
    return -1;
  return st.st_size;
}

int64_t read_full(int fd, void *dst, size_t n, int64_t at) {
  size_t got = 0;
  auto *p = static_cast<uint8_t *>(dst);
  while (got < n) {
    ssize_t r = at >= 0 ? ::pread(fd, p + got, n - got, at + int64_t(got))
                        : ::read(fd, p + got, n - got);
    if (r < 0) {
      if (errno == EINTR)
        continue;
      return got > 0 ? int64_t(got) : -1;
    }
    if (r == 0)
      break;
    got += size_t(r);
  }
  return int64_t(got);
}

size_t write_some(int fd, const uint8_t *p, size_t n) {
  size_t done = 0;
  while (done < n) {
    ssize_t w = ::write(fd, p + done, n - done);
    if (w < 0 && errno == EINTR)
      continue;
    if (w <= 0)
      break;
    done += size_t(w);
  }
  return done;
}

bool fill(img_file &f, size_t want) {
  if (want == 0 || want > WIN_SIZE) {
    want = WIN_SIZE;
    if (f.win_len > 0 && (f.pos < f.win_off || f.pos > win_end(f) + int64_t(WIN_SIZE)))
      want = FAR_SIZE;
  }
  int64_t r = read_full(f.fd, f.win.get(), want, f.pos);
  if (r < 0) {
    f.win_len = 0;
    return false;
  }
  f.win_off = f.pos;
  f.win_len = size_t(r);
  return true;
}

} // namespace window

using namespace window;

int img_open(const char *path) {
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return -1;
  struct stat st;
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    ::close(fd);
    errno = EISDIR;
    return -1;
  }
  for (auto &f : files) {
    if (f.fd < 0) {
      f.fd = fd;
      f.pos = 0;
      f.win_off = 0;
      f.win_len = 0;
      f.copy = copy_way::range;
      if (!f.win)
        f.win = std::make_unique<uint8_t[]>(WIN_SIZE);
      break;
    }
  }
  return fd;
}

void img_close(int fp) {
  if (is_stream(fp)) {
    set_close(fp);
    return;
  }
  if (img_file *f = find(fp)) {
    f->fd = -1;
    f->win_len = 0;
  }
  if (fp >= 0)
    ::close(fp);
}

int64_t img_seek(int fp, int64_t off, int whence) {
  if (is_stream(fp))
    return stream_seek(fp, off, whence);
  img_file *f = find(fp);
  if (f == nullptr)
    return ::lseek(fp, off, whence);
  int64_t base = 0;
  if (whence == SEEK_CUR)
    base = f->pos;
  else if (whence == SEEK_END) {
    base = file_size(fp);
    if (base < 0)
      return -1;
  } else if (whence != SEEK_SET) {
    errno = EINVAL;
    return -1;
  }
  if ((off > 0 && base > INT64_MAX - off) || base + off < 0) {
    errno = EINVAL;
    return -1;
  }
  f->pos = base + off;
  return f->pos;
}

int64_t img_read(int fp, void *dst, size_t n) {
  if (is_stream(fp))
    return stream_read(fp, dst, n);
  img_file *f = find(fp);
  if (f == nullptr)
    return read_full(fp, dst, n, -1);
  auto *p = static_cast<uint8_t *>(dst);
  size_t got = 0;
  while (got < n) {
    if (in_window(*f, f->pos)) {
      size_t at = size_t(f->pos - f->win_off);
      size_t take = std::min(n - got, f->win_len - at);
      std::memcpy(p + got, f->win.get() + at, take);
      got += take;
      f->pos += int64_t(take);
      continue;
    }
    if (n - got >= WIN_SIZE) { // large reads bypass the window
      int64_t r = read_full(fp, p + got, n - got, f->pos);
      if (r < 0)
        return got > 0 ? int64_t(got) : -1;
      got += size_t(r);
      f->pos += r;
      break;
    }
    if (!fill(*f))
      return got > 0 ? int64_t(got) : -1;
    if (f->win_len == 0)
      break;
  }
  return int64_t(got);
}

} // namespace cartsift
