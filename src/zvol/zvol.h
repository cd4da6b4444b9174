// Compressed volumes: the frame decoder, and a volume's inflated view with
// its extent index and read-ahead, as a byte source of its own.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "image/image.h"

namespace cartsift {

// ---- compressed frames ----------------------------------------------------

// One compressed frame holds one LZ stream: literals and back references into
// its own output, 2 KiB back at most, closed by an end marker.
constexpr size_t QIC122_FRAME_MAX = 63488; // bytes a frame may expand to
enum qic122_result {
  QIC122_OK = 0,
  QIC122_BAD_OFFSET = -1, // a reference before the frame's first byte
  QIC122_NO_END = -2,     // the input ends before the end marker
  QIC122_TOO_LONG = -3,   // the output would pass cap
};
// Expands src[0..n) into dst[0..cap): the bytes written, or a negative
// qic122_result. Reads nothing past src + n and writes nothing past
// dst + cap; on failure dst holds garbage.
int64_t qic122_decode(const uint8_t *src, size_t n, uint8_t *dst, size_t cap);

// ---- what a volume's view found ---------------------------------------------

// What the inflated view of a compressed part found.
struct z_hole {
  int64_t from, to; // uncompressed offsets; -1 when not placed
  std::string why;
};
struct z_info {
  unsigned width = 0;   // bytes of an extent's uncompressed offset
  bool spanning = false;
  int64_t segments = 0, extents = 0;
  int64_t zbytes = 0;   // bytes of the segments
  int64_t size = 0;     // bytes of the uncompressed stream
  // The first Z_HOLES_NAMED found, in that order; after them only counted,
  // so that a volume damaged all through costs no more memory than a whole
  // one.
  std::vector<z_hole> holes;
  int64_t more_holes = 0;
};
constexpr size_t Z_HOLES_NAMED = 1000;

namespace window {

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

} // namespace window

} // namespace cartsift
