// Image access: positioned reads over an image through a handle, the
// signature search, the copy out, and the image's fixed records (the file
// header and the volume table). The source objects behind the handles are
// declared at the end, for the layers that add sources of their own.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "base/base.h"
#include "platform/platform.h"

namespace cartsift {

// ---- image reads ------------------------------------------------------------

// Each open image, set or volume is a source object of its own behind an
// int handle, which its opener owns and closes with img_close (or an
// img_handle). An image keeps a window of itself, so that the many small reads
// of a walk cost no system call each; its positions behave exactly as
// lseek/read would on the file. A descriptor that is no handle is read
// directly, uncached. Two threads may read two sources at once, never one.
int img_open(const char *path);      // read-only; -1 on failure (directories too)
void img_close(int fp);              // releases a handle's source; closes any other descriptor
int64_t img_seek(int fp, int64_t off, int whence); // new position or -1
int64_t img_read(int fp, void *dst, size_t n);     // bytes read (short at EOF) or -1
// Reads n bytes from the position and drops them, copied no further than
// the window: bytes passed (short at EOF or a barrier) or -1.
int64_t img_pass(int fp, int64_t n);
// The bytes from the position that the source already holds in memory,
// without a copy and without moving: *n of them, none past a barrier (0,
// and null, when it holds none there). Valid until the next call on fp.
const uint8_t *img_peek(int fp, size_t *n);
// The cache's read sizes: near the last window, and after a long skip.
constexpr size_t IMG_WINDOW = 256 << 10;
constexpr size_t IMG_FAR_WINDOW = 16 << 10;

// Copies n bytes from the image's position to the output descriptor fo at
// its own position, moving both, in as few system calls as the two files
// allow. Returns the bytes copied; when fewer than n, *rfail tells whether
// the image ended (or a read failed) rather than the write.
int64_t img_copy(int fp, int fo, int64_t n, bool *rfail);
// Owns a handle (or a plain descriptor) and closes it with img_close.
using img_handle = unique_fd<img_close>;

// A seek that lands exactly on off; a negative off never does (a failed
// seek's -1 must not pass for having reached offset -1).
inline bool seek_to(int fp, int64_t off) {
  return off >= 0 && img_seek(fp, off, SEEK_SET) == off;
}

// Current position; on failure prints its message and ends the process (-3).
int64_t get_cur_pos(int fp);

// Offset of the first place at or after off where the 4 bytes read
// little-endian equal sig, at any byte position; -1 when none (a value cut
// off by the end of the image included). Moves the position past the match
// or to the end of what was searched.
int64_t fnd_sig(int fp, int64_t off, uint32_t sig);
// The same over memory: index of the first whole match in p[0..n), or n.
size_t find_sig(const uint8_t *p, size_t n, uint32_t sig);

// Where the bytes readable from off without crossing a barrier end: the
// next barrier or the end of the stream; the size of a plain image.
int64_t img_run_end(int fp, int64_t off);

// ---- image layout and file header -------------------------------------------

constexpr int64_t BLOCK_SIZE = 0x7400;
constexpr size_t HDR_SIZE = 0x90;
constexpr uint32_t HDR_SIG = 0xAA55AA55;
constexpr int64_t VTBL_OFFSET = 0xE800;
constexpr int64_t DATA_START = 0x15C00;

// The first HDR_SIZE bytes of header block 0 or 1:
//   0-3   signature HDR_SIG
//   10-13 total block count (unaligned)
//   40-   text "job, .... disk": job number at 40, disk number 6 bytes
//         after the first ',' found at 40..46
using fheader = std::array<uint8_t, HDR_SIZE>;
constexpr uint32_t hdr_nblk(const fheader &h) { return le32(h.data() + 10); }

std::unique_ptr<fheader> get_fheader(int fp, int ndx, uint16_t mode);
int get_fhead_sdata(const fheader &hdr, uint16_t *job, uint16_t *disk);

// ---- volume table record ------------------------------------------------------

struct __attribute__((packed)) qic_vtbl {
  char tag[4];         // "VTBL", any case
  uint32_t nseg;       // logical segments
  char desc[44];       // label, NUL-padded
  uint32_t date;       // seconds since 1970 UTC
  uint8_t flag;        // flagbits
  uint8_t seq;         // cartridge number in a multi-cartridge set
  uint16_t rev_major;
  uint16_t rev_minor;
  uint8_t vres[14];
  uint32_t start;      // QFA physical start block
  uint32_t end;        // QFA physical end block
  uint8_t passwd[8];
  uint32_t dirSz;      // directory size in bytes
  int64_t dataSz;      // data size in bytes
  uint8_t OSver[2];
  uint8_t sdrv[16];
  uint8_t ldev;
  uint8_t res;
  uint8_t comp;        // non-zero: compressed; 0x80 used, 0x3F type
  uint8_t OStype;
  uint8_t res2[2];
};
static_assert(sizeof(qic_vtbl) == 128);

extern const char *const flagbits[6];
extern const char *const OStype[8];

std::unique_ptr<qic_vtbl> get_vtbl(int fp);
void disp_vtbl(const qic_vtbl &vtbl);
void disp_datetime(uint32_t dt);

// ---- where a catalog lies -------------------------------------------------------

// Blocks a catalog of dirsz bytes takes.
constexpr int64_t cat_blocks(int64_t dirsz) { return (dirsz + BLOCK_SIZE - 1) / BLOCK_SIZE; }
// The last backup's catalog, where the header and the volume table place
// it: its blocks at the end of the image's block count.
constexpr int64_t cat_offset(const fheader &h, const qic_vtbl &v) {
  return (int64_t(hdr_nblk(h)) - cat_blocks(v.dirSz)) * BLOCK_SIZE;
}
// A backup's catalog after its last entry, which ends at end: from the
// next block boundary, a whole block on when end lies on one.
constexpr int64_t cat_after(int64_t end) { return (end / BLOCK_SIZE + 1) * BLOCK_SIZE; }

// ---- the sources behind the handles ------------------------------------------

namespace window {

constexpr size_t WIN_SIZE = IMG_WINDOW;
constexpr size_t FAR_SIZE = IMG_FAR_WINDOW;

// Read-only; -1 on failure, with errno set (EISDIR for a directory).
int open_image(const char *path);
int64_t file_size(int fd);
// Until n bytes or end of file; at < 0 reads at the file position.
using platform::read_full;
// Bytes written before the first failure.
using platform::write_some;

// A descriptor (see platform.h) owned by a source, closed with it.
using plain_fd = fd_guard;

// One open source of bytes. Its position is its own, and the calls behave as
// lseek and read would on a file of its bytes. A source keeps whatever cache
// or read-ahead it has to itself: two threads may each read their own
// source at once, but not one source together.
class source {
public:
  source() = default;
  source(const source &) = delete;
  source &operator=(const source &) = delete;
  virtual ~source() = default;

  int64_t pos = 0;
  // The window: bytes [win_off, win_off + win_len) of the source lie at
  // win_p, none of them past a barrier. Each call below leaves it true, so
  // that the img_* calls serve the walk's many small reads from it with no
  // call of their own.
  const uint8_t *win_p = nullptr;
  int64_t win_off = 0;
  size_t win_len = 0;

  int64_t win_end() const { return win_off + int64_t(win_len); }
  bool in_window(int64_t p) const { return p >= win_off && p < win_end(); }
  // Whether the n bytes from the position all lie in the window.
  bool ready(uint64_t n) const {
    return pos >= win_off && uint64_t(pos - win_off) <= win_len &&
           n <= win_len - uint64_t(pos - win_off);
  }

  // The new position, or -1. A walk seeks before most reads.
  int64_t seek(int64_t off, int whence) {
    if (whence == SEEK_SET && off >= 0)
      return pos = off;
    return seek_far(off, whence);
  }
  virtual int64_t size() = 0;            // -1 when it cannot be had
  // Bytes from the position, short at the end or a barrier; -1 when none
  // could be read.
  virtual int64_t read(void *dst, size_t n) = 0;
  // The same without the bytes: those passed, or -1.
  virtual int64_t pass(int64_t n) = 0;
  // To the output descriptor fo at its own position; see img_copy.
  virtual int64_t copy(int fo, int64_t n, bool *rfail) = 0;
  // See fnd_sig: the first whole match at or after off, or -1; the position
  // ends past it or where the search stopped.
  virtual int64_t find(int64_t off, uint32_t sig) = 0;
  // See img_run_end.
  virtual int64_t run_end(int64_t off) = 0;

private:
  int64_t seek_far(int64_t off, int whence);
};

// ---- handles ----------------------------------------------------------------
//
// A handle is a descriptor number that its source holds open, so no
// other open descriptor can have it and a number the table does not know is
// a descriptor the caller opened itself. The table grows as numbers come;
// lookups take no lock, as the walk makes several per entry.

// Puts s behind h; returns h.
int enter(int h, std::unique_ptr<source> s);
std::unique_ptr<source> take(int h);

// Slots sit in chunks found through a directory; opening and closing take
// a lock, lookups none.
class handle_table {
public:
  source *get(int h) const {
    if (h < 0)
      return nullptr;
    const dir *d = dir_.load(std::memory_order_acquire);
    const size_t c = size_t(h) / CHUNK;
    if (d == nullptr || c >= d->n)
      return nullptr;
    const chunk *k = d->c[c].load(std::memory_order_acquire);
    return k ? k->s[size_t(h) % CHUNK].load(std::memory_order_acquire) : nullptr;
  }
  void put(int h, source *s);
  source *remove(int h);

private:
  static constexpr size_t CHUNK = 256;
  struct chunk {
    std::atomic<source *> s[CHUNK]{};
  };
  struct dir {
    size_t n;
    std::atomic<chunk *> *c;
    const dir *prev; // kept, for lookups that still hold it
  };
  std::atomic<source *> *slot(int h, bool make);

  std::atomic<dir *> dir_{nullptr};
  std::mutex mu_;
};
extern handle_table handles;

// Null for a descriptor that is no source.
inline source *lookup(int h) { return handles.get(h); }

// ---- an image file ------------------------------------------------------------

enum class copy_way { range, user };

// A window of the file kept in memory, so that the many small reads of a
// walk cost no system call each.
class file_source final : public source {
public:
  // Read-only; null on failure, with errno set (EISDIR for a directory).
  static std::unique_ptr<file_source> open(const char *path);
  int fd() const { return fd_.get(); }

  int64_t size() override { return file_size(fd()); }
  int64_t read(void *dst, size_t n) override;
  int64_t pass(int64_t n) override;
  int64_t copy(int fo, int64_t n, bool *rfail) override;
  int64_t find(int64_t off, uint32_t sig) override;
  int64_t run_end(int64_t) override { return size(); }

private:
  explicit file_source(int fd);
  // Refills the window at the position; false on a read error.
  bool fill(size_t want = 0);

  plain_fd fd_;
  std::unique_ptr<uint8_t[]> mem_; // the window's bytes
  copy_way copy_ = copy_way::range; // what the kernel has not refused yet
};

} // namespace window

} // namespace cartsift
