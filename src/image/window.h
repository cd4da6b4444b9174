// The window cache behind the image reads, shared by the reads, the copy,
// the signature search and the set stream of this folder; no other layer
// includes it.
#pragma once

#include <array>
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
int64_t stream_pass(int sfd, int64_t n);
int64_t stream_copy(int sfd, int fo, int64_t n, bool *rfail);
int64_t stream_find(int sfd, int64_t off, uint32_t sig);

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

} // namespace cartsift::window
