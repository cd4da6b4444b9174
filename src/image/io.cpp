// Output, input, descriptors and positioned reads over the image.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdarg>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

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
// System calls are what a walk pays for (a few microseconds each here), so
// the window is refilled in reads large enough to serve many entries, yet
// small enough to stay in the processor's cache while they are parsed
// (128 KiB to 512 KiB measured alike; 1 MiB was slower). A read far from the
// window (a long skip over file data) fetches a short window instead, as
// only the next entry's header is wanted there.
constexpr size_t WIN_SIZE = IMG_WINDOW;
constexpr size_t FAR_SIZE = IMG_FAR_WINDOW;

enum class copy_way { range, user };

struct img_file {
  int fd = -1;
  int64_t pos = 0;
  std::unique_ptr<uint8_t[]> win;
  int64_t win_off = 0;
  size_t win_len = 0;
  copy_way copy = copy_way::range; // what the kernel has not refused yet
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

// Bytes written before the first failure.
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

// For a descriptor the cache does not know: read and write through a
// buffer of our own.
int64_t copy_uncached(int fd, int fo, int64_t n, bool *rfail) {
  static uint8_t spare[WIN_SIZE];
  int64_t got = 0;
  while (got < n) {
    size_t want = size_t(std::min<int64_t>(n - got, int64_t(sizeof spare)));
    int64_t r = read_full(fd, spare, want, -1);
    if (r <= 0) {
      *rfail = true;
      break;
    }
    size_t w = write_some(fo, spare, size_t(r));
    got += int64_t(w);
    if (w < size_t(r))
      break;
    if (size_t(r) < want) {
      *rfail = true;
      break;
    }
  }
  return got;
}

int64_t win_end(const img_file &f) { return f.win_off + int64_t(f.win_len); }

bool in_window(const img_file &f, int64_t pos) { return pos >= f.win_off && pos < win_end(f); }

// Refills the window at the file's position; false on a read error.
bool fill(img_file &f, size_t want = 0) {
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
      f.copy = copy_way::range;
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

int64_t img_copy(int fp, int fo, int64_t n, bool *rfail) {
  *rfail = false;
  img_file *f = find(fp);
  if (f == nullptr)
    return copy_uncached(fp, fo, n, rfail);
  int64_t got = 0;
  // What the window holds already goes out from there.
  if (in_window(*f, f->pos)) {
    size_t at = size_t(f->pos - f->win_off);
    size_t take = size_t(std::min<int64_t>(n, int64_t(f->win_len - at)));
    size_t w = write_some(fo, f->win.get() + at, take);
    got += int64_t(w);
    f->pos += int64_t(w);
    if (w < take)
      return got;
  }
  // Within one file system the rest moves inside the kernel, as cp moves
  // it; between two, through the window (measured faster than sendfile
  // into tmpfs: the kernel's own copy runs slower on unaligned pages than
  // two user copies). The outputs of a run share one directory tree, so a
  // refusal holds for the files after it too.
  while (got < n && f->copy == copy_way::range) {
    loff_t from = f->pos;
    size_t want = size_t(std::min<int64_t>(n - got, 1 << 30));
    ssize_t r = ::copy_file_range(f->fd, &from, fo, nullptr, want, 0);
    if (r > 0) {
      got += r;
      f->pos += r;
      continue;
    }
    if (r == 0) { // the image ends here
      *rfail = true;
      return got;
    }
    if (errno == EINTR)
      continue;
    if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP) {
      f->copy = copy_way::user;
      continue;
    }
    break; // one side failed: the window path finds out which
  }
  bool aligned = false; // writes of a long copy brought to window borders
  while (got < n) {
    // A long copy is cut so that the writes after the first fall on whole
    // windows of the output, which page-cached file systems take faster.
    size_t want = WIN_SIZE;
    if (!aligned && n - got > int64_t(WIN_SIZE)) {
      aligned = true;
      int64_t at = ::lseek(fo, 0, SEEK_CUR);
      if (at >= 0)
        want = WIN_SIZE - size_t(at % int64_t(WIN_SIZE));
    }
    f->win_len = 0;
    if (!fill(*f, want) || f->win_len == 0) {
      *rfail = true;
      break;
    }
    size_t take = size_t(std::min<int64_t>(n - got, int64_t(f->win_len)));
    size_t w = write_some(fo, f->win.get(), take);
    got += int64_t(w);
    f->pos += int64_t(w);
    if (w < take)
      break;
  }
  return got;
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

namespace {

// Chunk by chunk through buf, for descriptors that bypass the window cache.
int64_t fnd_sig_chunks(int fp, int64_t off, uint32_t sig) {
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

// The candidates in p[i .. i+63], one bit each: the places where the first
// two bytes of the value match. Reads p[i .. i+64].
#if defined(__x86_64__) && defined(__GNUC__)
#define CARTSIFT_AVX2 1
__attribute__((target("avx2"))) uint64_t pairs64_avx2(const uint8_t *p, uint8_t c0,
                                                      uint8_t c1) {
  const __m256i b0 = _mm256_set1_epi8(static_cast<char>(c0));
  const __m256i b1 = _mm256_set1_epi8(static_cast<char>(c1));
  __m256i x0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
  __m256i y0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 1));
  __m256i x1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 32));
  __m256i y1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 33));
  auto m0 = uint32_t(_mm256_movemask_epi8(
      _mm256_and_si256(_mm256_cmpeq_epi8(x0, b0), _mm256_cmpeq_epi8(y0, b1))));
  auto m1 = uint32_t(_mm256_movemask_epi8(
      _mm256_and_si256(_mm256_cmpeq_epi8(x1, b0), _mm256_cmpeq_epi8(y1, b1))));
  return uint64_t(m0) | uint64_t(m1) << 32;
}
#endif

#if defined(__SSE2__)
uint64_t pairs64_sse2(const uint8_t *p, uint8_t c0, uint8_t c1) {
  const __m128i b0 = _mm_set1_epi8(static_cast<char>(c0));
  const __m128i b1 = _mm_set1_epi8(static_cast<char>(c1));
  uint64_t m = 0;
  for (int k = 0; k < 4; k++) {
    const uint8_t *q = p + 16 * k;
    __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i *>(q));
    __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i *>(q + 1));
    m |= uint64_t(uint32_t(_mm_movemask_epi8(
             _mm_and_si128(_mm_cmpeq_epi8(x, b0), _mm_cmpeq_epi8(y, b1)))))
         << (16 * k);
  }
  return m;
}
#else
uint64_t pairs64_plain(const uint8_t *p, uint8_t c0, uint8_t c1) {
  uint64_t m = 0;
  for (int k = 0; k < 64; k++)
    if (p[k] == c0 && p[k + 1] == c1)
      m |= uint64_t(1) << k;
  return m;
}
#endif

// The whole loop is compiled once per instruction set, so that the test of
// 64 positions inlines into it.
#define CARTSIFT_SCAN_LOOP(pairs)                                              \
  const size_t last = n - 4;                                                   \
  const auto c0 = static_cast<uint8_t>(sig), c1 = static_cast<uint8_t>(sig >> 8); \
  size_t i = 0;                                                                \
  for (; i + 65 <= n; i += 64) {                                               \
    for (uint64_t m = pairs(p + i, c0, c1); m != 0; m &= m - 1) {              \
      size_t j = i + size_t(__builtin_ctzll(m));                               \
      if (j <= last && le32(p + j) == sig)                                     \
        return j;                                                              \
    }                                                                          \
  }                                                                            \
  for (; i <= last; i++)                                                       \
    if (le32(p + i) == sig)                                                    \
      return i;                                                                \
  return n;

#if defined(CARTSIFT_AVX2)
__attribute__((target("avx2"))) size_t scan_avx2(const uint8_t *p, size_t n, uint32_t sig) {
  CARTSIFT_SCAN_LOOP(pairs64_avx2)
}
#endif

size_t scan_base(const uint8_t *p, size_t n, uint32_t sig) {
#if defined(__SSE2__)
  CARTSIFT_SCAN_LOOP(pairs64_sse2)
#else
  CARTSIFT_SCAN_LOOP(pairs64_plain)
#endif
}

#undef CARTSIFT_SCAN_LOOP

using scan_fn = size_t (*)(const uint8_t *, size_t, uint32_t);

scan_fn pick_scan() {
#if defined(CARTSIFT_AVX2)
  if (__builtin_cpu_supports("avx2"))
    return scan_avx2;
#endif
  return scan_base;
}

} // namespace

// Index of the first i with i + 4 <= n where the 4 bytes at p + i equal sig
// little-endian, or n when there is none. Candidates are the places where
// the first two bytes match, 64 positions tested at once; in file data and
// in noise alike they are rare, so the exact test seldom runs.
size_t find_sig(const uint8_t *p, size_t n, uint32_t sig) {
  static const scan_fn scan = pick_scan();
  if (n < 4)
    return n;
  return scan(p, n, sig);
}

// Returns what a search 1024 bytes at a time from off would return (the
// first place at or after off, -1 when none, a value cut off by the end of
// the image never counts), scanning the window cache in place. Afterwards
// the position stands just after the value, or at the end of what was
// searched; callers seek before they read again.
int64_t fnd_sig(int fp, int64_t off, uint32_t sig) {
  img_file *f = find(fp);
  if (f == nullptr)
    return fnd_sig_chunks(fp, off, sig);
  if (off < 0)
    return -1;
  f->pos = off;
  for (;;) {
    // At least 4 bytes from the position must be in the window, or a value
    // starting there could not be seen whole.
    if (!in_window(*f, f->pos) || win_end(*f) - f->pos < 4) {
      f->win_len = 0;
      if (!fill(*f))
        return -1;
      if (f->win_len < 4) {
        f->pos += int64_t(f->win_len);
        return -1;
      }
    }
    size_t at = size_t(f->pos - f->win_off);
    size_t n = f->win_len - at;
    size_t i = find_sig(f->win.get() + at, n, sig);
    if (i < n) {
      int64_t found = f->pos + int64_t(i);
      f->pos = found + 4;
      return found;
    }
    f->pos += int64_t(n - 3); // a value may straddle this window and the next
  }
}

} // namespace cartsift
