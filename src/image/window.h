// The byte sources behind the img_* calls: an image file with its window
// cache, a compressed volume's inflated view, a set's stream over several
// of them. Shared by the files of this folder; no other layer includes it.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "image/image.h"

namespace cartsift::window {

constexpr size_t WIN_SIZE = IMG_WINDOW;
constexpr size_t FAR_SIZE = IMG_FAR_WINDOW;

// Read-only; -1 on failure, with errno set (EISDIR for a directory).
int open_image(const char *path);
int64_t file_size(int fd);
// read(2) until n bytes or end of file; at < 0 reads at the file position.
int64_t read_full(int fd, void *dst, size_t n, int64_t at);
// Bytes written before the first failure.
size_t write_some(int fd, const uint8_t *p, size_t n);

// A kernel descriptor owned by a source, closed with it.
class plain_fd {
public:
  plain_fd() = default;
  explicit plain_fd(int fd) : fd_(fd) {}
  plain_fd(const plain_fd &) = delete;
  plain_fd &operator=(const plain_fd &) = delete;
  ~plain_fd() { reset(); }
  int get() const { return fd_; }
  void reset(int fd = -1);

private:
  int fd_ = -1;
};

class set_stream;

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
  virtual set_stream *as_set() { return nullptr; }

private:
  int64_t seek_far(int64_t off, int whence);
};

// ---- handles ----------------------------------------------------------------
//
// A handle is a kernel descriptor number that its source holds open, so no
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

// ---- a compressed volume ----------------------------------------------------

// Test hooks: refuse_worker makes the read-ahead thread fail to start as
// it would on a system out of threads; workers_started counts those started.
extern std::atomic<bool> refuse_worker;
extern std::atomic<unsigned> workers_started;

// The inflated view of one compressed volume (zview.cpp).
class zview {
public:
  z_info info;
  zview() = default;
  zview(const zview &) = delete;
  zview &operator=(const zview &) = delete;
  ~zview() { ahead_stop(); }
  // Indexes the segments of [start, end) by reading each one's leading
  // words only; false, with the reason, when no layout fits.
  bool open(int fd, int64_t start, int64_t end, bool spanning, std::string *why);
  void use_fd(int fd) { // the image, opened anew
    ahead_stop();
    fd_ = fd;
  }
  // Drops the decoded extents: a set holds those of one image at a time.
  void release();
  int64_t size() const { return size_; }
  // The decoded extent holding off: false in a hole or past the end. The
  // bytes last until the next call.
  bool extent_at(int64_t off, const uint8_t **p, int64_t *begin, int64_t *len);
  int64_t next_extent(int64_t off);       // first extent start after off
  void decode_untried();                  // each extent no read has decoded yet
  // The extent the last call left decoded; false when none.
  bool current(const uint8_t **p, int64_t *begin, int64_t *len) const;
  // Bytes at off, short at a hole or the end; -1 when off lies in a hole.
  int64_t read(int64_t off, uint8_t *dst, size_t n);

private:
  struct extent {
    int64_t u = 0;    // uncompressed offset
    int64_t seg = 0;  // segment of its offset word
    uint32_t pos = 0; // the word's place in the segment
  };
  // One block of the index: the extents from a mark up to the next one.
  struct block {
    size_t mark = SIZE_MAX;
    std::vector<extent> x;
  };
  // What a segment's leading bytes say of the extent that begins in it.
  enum class spot { whole, none, past_end, cut_seg, cut_word, unreadable };
  // Whether an extent's offset can follow the one before.
  enum class verdict { fits, beyond, back };
  // What one thread needs to read segments and frames.
  struct reader {
    std::array<uint8_t, 0x8000> frame{};
    std::array<uint8_t, size_t(BLOCK_SIZE)> seg{};
    int64_t seg_k = -1;
    bool cut = false; // a fetch ran into the end of a segment cut short
  };
  // One extent's bytes, whichever thread decoded them.
  struct output {
    std::unique_ptr<uint8_t[]> buf;
    size_t alloc = 0, len = 0;
    std::string bad; // empty when the extent decoded whole
  };
  // An extent decoded ahead of the reads, by the worker or by the reading
  // thread while it waits.
  struct job {
    size_t i;
    extent x;
    int64_t next_u; // where the next extent starts; -1 after the last
    output out;
    enum { queued, running, done } state = queued;
  };

  int64_t seg_at(int64_t k) const;
  size_t seg_len(int64_t k) const; // bytes the image holds of segment k
  void hole(int64_t from, int64_t to, std::string why);
  bool fetch(reader &r, int64_t &k, size_t &q, uint8_t *dst, size_t n) const;
  bool frames(reader &r, output &o, size_t limit, int64_t &k, size_t &q) const;
  spot read_spot(int64_t k, extent *x, uint8_t (&w)[8]) const;
  uint64_t word(const uint8_t (&w)[8]) const;
  verdict follows(const extent *prev, int64_t k, uint64_t u) const;
  const block *load(size_t mark);
  bool at(size_t i, extent *x, int64_t *next_u);
  size_t find(int64_t off);
  void inflate(const extent &x, int64_t next_u, reader &r, output &o) const; // any thread
  bool decode(size_t i);
  void settle(size_t i, const extent &x, int64_t next_u, output &o);
  // Read-ahead: taken from the queue, or decoded here; the queue topped up
  // while reads go forward extent by extent.
  bool ahead_take(size_t i, output &o);
  void ahead_fill(size_t i);
  void ahead_stop();
  void work();
  std::deque<job>::iterator first_queued();
  void drop_queued();
  void keep_spare(output &o);

  int fd_ = -1;
  int64_t start_ = 0, nseg_ = 0, size_ = 0;
  int64_t tail_ = 0; // bytes of the last segment when the image cuts it short
  bool spanning_ = false;
  unsigned width_ = 8;
  // The index holds every MARK_EVERY-th extent, so that its size is a
  // small fraction of the segments'; the extents between two marks are
  // read again from the segments' words when wanted, a block at a time.
  std::vector<extent> marks_;
  size_t n_ext_ = 0;
  std::vector<bool> tried_, reported_; // by extent
  block blocks_[2];                    // the last two read
  size_t recent_ = 0;                  // which of them was used last
  size_t cur_ = SIZE_MAX;  // the extent in out_
  extent cur_x_;           // and where it lies
  output out_;
  reader rd_; // this thread's

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<job> jobs_; // by extent, done and running ones first
  std::vector<output> spare_;
  std::thread worker_;
  bool stop_ = false;
};

// A compressed volume's inflated bytes as a source, offsets those of the
// inflated stream. It can let go of its image and take it up again, so that
// a set keeps one image open and decoded at a time.
class zview_source final : public source {
public:
  // Indexes the volume [start, end) of the image at path; null, with the
  // reason, when it cannot be opened or no layout fits. The image stays open.
  static std::unique_ptr<zview_source> open(const std::string &path, int64_t start,
                                            int64_t end, bool spanning, std::string *why);
  const z_info &info() const { return z_.info; }
  void decode_untried();
  int64_t next_extent(int64_t off) { return z_.next_extent(off); }
  void park();   // drops the decoded extents and closes the image
  bool resume(); // opens the image again if parked; false when it cannot

  int64_t size() override { return z_.size(); }
  int64_t read(void *dst, size_t n) override;
  int64_t pass(int64_t n) override;
  int64_t copy(int fo, int64_t n, bool *rfail) override;
  int64_t find(int64_t off, uint32_t sig) override;
  int64_t run_end(int64_t) override { return z_.size(); }

private:
  explicit zview_source(std::string path) : path_(std::move(path)) {}
  void sync(); // the window: the extent decoded last
  int64_t find_from(int64_t off, uint32_t sig);
  std::string path_;
  plain_fd fd_; // outlives z_, whose worker reads through it
  zview z_;
};

} // namespace cartsift::window
