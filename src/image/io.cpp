// Output, input, descriptors and positioned reads over the image.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdarg>
#include <cstring>

#include "image/image.h"

namespace cartsift {

uint8_t buf[BUF_SIZE];

// ---- output -------------------------------------------------------------------

namespace {

FILE *out_fp = nullptr; // null until first use: stdout with a large buffer
FILE *in_fp = nullptr;  // null: stdin

FILE *target() {
  if (out_fp == nullptr) {
    // One big buffer for all listing output; in_char() flushes it before
    // any read of standard input, so prompts are still seen.
    static char stdout_buf[1 << 16];
    setvbuf(stdout, stdout_buf, _IOFBF, sizeof stdout_buf);
    out_fp = stdout;
  }
  return out_fp;
}

} // namespace

void out(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vfprintf(target(), fmt, ap);
  va_end(ap);
}

void out_bytes(const void *p, size_t n) {
  if (n > 0)
    fwrite(p, 1, n, target());
}

void out_char(char c) { putc(c, target()); }

void out_flush() { fflush(target()); }

FILE *out_stream(FILE *f) {
  FILE *prev = target();
  fflush(prev);
  out_fp = f;
  return prev;
}

int in_char() {
  out_flush();
  return getc(in_fp ? in_fp : stdin);
}

FILE *in_stream(FILE *f) {
  FILE *prev = in_fp ? in_fp : stdin;
  in_fp = f;
  return prev;
}

// ---- descriptors ----------------------------------------------------------------

// Closing through img_close drops any window kept for the descriptor, so a
// later open that reuses the number starts clean.
void fd_guard::reset(int fd) {
  if (fd_ >= 0 && fd_ != fd)
    img_close(fd_);
  fd_ = fd;
}

// ---- image window cache ------------------------------------------------------------

namespace {

// A window of the file kept in memory. The logical position is ours, so a
// seek costs nothing and a read is a copy unless it leaves the window.
constexpr size_t WIN_SIZE = 1 << 20;

struct img_file {
  int fd = -1;
  int64_t pos = 0;
  std::unique_ptr<uint8_t[]> win;
  int64_t win_off = 0;
  size_t win_len = 0;
};

// A run has at most two images open at once: the one being walked and the
// next image of a set while a file is completed from it.
img_file files[4];

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

// read(2) until n bytes or end of file, as a read of a regular file behaves.
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

} // namespace

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
      if (!f.win)
        f.win = std::make_unique<uint8_t[]>(WIN_SIZE);
      break;
    }
  }
  return fd;
}

void img_close(int fp) {
  if (img_file *f = find(fp)) {
    f->fd = -1;
    f->win_len = 0;
  }
  if (fp >= 0)
    ::close(fp);
}

int64_t img_seek(int fp, int64_t off, int whence) {
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
  img_file *f = find(fp);
  if (f == nullptr)
    return read_full(fp, dst, n, -1);
  auto *p = static_cast<uint8_t *>(dst);
  size_t got = 0;
  while (got < n) {
    if (f->pos >= f->win_off && f->pos < f->win_off + int64_t(f->win_len)) {
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
    int64_t r = read_full(fp, f->win.get(), WIN_SIZE, f->pos);
    if (r < 0) {
      f->win_len = 0;
      return got > 0 ? int64_t(got) : -1;
    }
    f->win_off = f->pos;
    f->win_len = size_t(r);
    if (r == 0)
      break;
  }
  return int64_t(got);
}

// ---- position and signature search ------------------------------------------------------

int64_t get_cur_pos(int fp) {
  int64_t pos = img_seek(fp, 0, SEEK_CUR);
  if (pos < 0) {
    out("\nfailed to update current file position exiting program\n");
    throw process_end{-3};
  }
  return pos;
}

int64_t fnd_sig(int fp, int64_t off, uint32_t sig) {
  int64_t pos = off;
  for (;;) {
    if (!seek_to(fp, pos))
      return -1;
    int64_t n = img_read(fp, buf, BUF_SIZE);
    if (n < 4)
      return -1;
    // Consecutive chunks overlap by 3 bytes so a value straddling two of
    // them is still seen.
    for (int64_t i = 0; i <= n - 4; i++)
      if (le32(buf + i) == sig)
        return pos + i;
    pos += n - 3;
  }
}

} // namespace cartsift
