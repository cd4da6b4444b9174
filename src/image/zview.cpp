// The inflated view of a compressed volume: its segments' extents indexed by
// their uncompressed offsets, one extent decoded at a time.
//
// Segments of BLOCK_SIZE bytes follow each other from the data region's
// start. Each holds one extent from byte 0, or, when the volume spans
// segments (flag 0x10), starts with a 16-bit offset of the extent that
// begins in it (0: none does) and lets extents run on from one segment's
// last byte to the next one's byte 2. An extent opens with its uncompressed
// offset, 8 bytes or 4 (found by looking), then frames: a 16-bit size n and
// n bytes, stored as they are when bit 15 is set, else one compressed
// stream. A zero size, or fewer than 18 bytes left in the segment, ends it.
#include <algorithm>
#include <cstring>
#include <system_error>
#include <thread>

#include "image/window.h"

namespace cartsift::window {

namespace {

constexpr size_t SEG = size_t(BLOCK_SIZE);
constexpr size_t MIN_LEFT = 18;
// No real extent comes near this; a larger claim is damage, and it keeps
// one decoded extent within the memory a run may use.
constexpr int64_t EXTENT_MAX = 4 << 20;
// What one segment can expand to at the most: a copy of 8 + 15k bytes costs
// about 4 bits per 15 bytes, so a segment of frames cannot give 30 times
// its size. An offset further ahead than that is damage, and so the view's
// size stays within bounds whatever the offsets claim.
constexpr int64_t SEG_OUT_MAX = 2 << 20;

uint64_t le64(const uint8_t *b) { return uint64_t(le32(b)) | uint64_t(le32(b + 4)) << 32; }

const char *const CUT_SHORT = "is cut short by the end of the image";

// Why bytes of an extent could not be fetched.
std::string past_end(bool cut) { return cut ? CUT_SHORT : "runs past the last segment"; }

} // namespace

bool zview::open(int fd, int64_t start, int64_t end, bool spanning, std::string *why) {
  fd_ = fd;
  start_ = start;
  spanning_ = spanning;
  // A last segment cut short by the end of the image still gives the
  // frames it holds whole.
  nseg_ = end > start ? (end - start + int64_t(SEG) - 1) / int64_t(SEG) : 0;
  tail_ = end > start ? (end - start) % int64_t(SEG) : 0;
  info.spanning = spanning;
  info.segments = nseg_;
  info.zbytes = std::max<int64_t>(end - start, 0);
  if (nseg_ == 0) {
    *why = "no segment after the volume table";
    return false;
  }

  // Where each extent's offset word stands: segment starts, or the spots
  // the segments' leading words give.
  std::vector<std::pair<int64_t, uint32_t>> spots;
  for (int64_t k = 0; k < nseg_; k++) {
    if (!spanning) {
      spots.emplace_back(k, 0);
      continue;
    }
    uint8_t w[2];
    if (seg_len(k) < 2) {
      hole(-1, -1, "segment " + std::to_string(k) + " " + CUT_SHORT);
      continue;
    }
    if (read_full(fd, w, 2, seg_at(k)) != 2) {
      *why = "segment unreadable";
      return false;
    }
    const uint16_t p = le16(w);
    if (p == 0)
      continue;
    if (p < 2 || p > SEG - MIN_LEFT) {
      hole(-1, -1, "segment " + std::to_string(k) + " points past its end");
      continue;
    }
    spots.emplace_back(k, p);
  }
  std::vector<std::array<uint8_t, 8>> words;
  std::vector<std::pair<int64_t, uint32_t>> whole;
  for (const auto &[k, at] : spots) {
    if (at + 8 > seg_len(k)) {
      hole(-1, -1, "extent in segment " + std::to_string(k) + " " + CUT_SHORT);
      continue;
    }
    words.emplace_back();
    if (read_full(fd, words.back().data(), 8, seg_at(k) + at) != 8) {
      *why = "segment unreadable";
      return false;
    }
    whole.emplace_back(k, at);
  }
  spots = std::move(whole);
  // An 8-byte offset has zero high bytes; with 4 bytes, a frame's size
  // word stands there.
  // The majority of the first few decides, so that one damaged word cannot
  // turn the reading of all the others.
  size_t high = 0, seen = std::min<size_t>(words.size(), 16);
  for (size_t i = 0; i < seen; i++)
    high += le32(words[i].data() + 4) != 0;
  width_ = 2 * high > seen ? 4 : 8;
  info.width = width_;

  for (size_t i = 0; i < spots.size(); i++) {
    const uint64_t u = width_ == 8 ? le64(words[i].data()) : le32(words[i].data());
    const int64_t prev_u = ext_.empty() ? 0 : ext_.back().u;
    const int64_t segs = spots[i].first - (ext_.empty() ? 0 : ext_.back().seg) + 1;
    if (u > uint64_t(prev_u) + uint64_t(segs * SEG_OUT_MAX)) {
      hole(-1, -1,
           "extent in segment " + std::to_string(spots[i].first) +
               " claims an uncompressed offset of " + std::to_string(u) +
               ", beyond what the segments before it hold");
      continue;
    }
    if (!ext_.empty() && int64_t(u) <= ext_.back().u) {
      hole(-1, -1,
           "extent in segment " + std::to_string(spots[i].first) +
               " goes back to uncompressed offset " + std::to_string(u));
      continue;
    }
    ext_.push_back({int64_t(u), spots[i].first, spots[i].second, -1});
  }
  info.extents = int64_t(ext_.size());
  if (ext_.empty()) {
    *why = "no readable extent";
    return false;
  }
  if (ext_.front().u != 0)
    hole(0, ext_.front().u,
         "the first extent starts at uncompressed offset " + std::to_string(ext_.front().u));
  // The last extent's length is known only once decoded.
  decode(ext_.size() - 1);
  size_ = ext_.back().u + std::max<int64_t>(ext_.back().valid, 0);
  info.size = size_;
  release();
  return true;
}

void zview::release() {
  ahead_stop();
  out_ = output{};
  spare_.clear();
  cur_ = last_ = SIZE_MAX;
}

int64_t zview::seg_at(int64_t k) const { return start_ + k * int64_t(SEG); }

size_t zview::seg_len(int64_t k) const {
  return k == nseg_ - 1 && tail_ > 0 ? size_t(tail_) : SEG;
}

void zview::hole(int64_t from, int64_t to, std::string why) {
  info.holes.push_back({from, to, std::move(why)});
}

// Bytes of an extent from its spot on, with segment headers skipped when
// extents span segments. False when the segments end; r.cut tells when the
// image cut the last one short.
bool zview::fetch(reader &r, int64_t &k, size_t &q, uint8_t *dst, size_t n) const {
  while (n > 0) {
    if (q >= SEG) {
      if (!spanning_ || ++k >= nseg_)
        return false;
      q = 2;
    }
    const size_t have = seg_len(k);
    if (k != r.seg_k) {
      if (read_full(fd_, r.seg.data(), have, seg_at(k)) != int64_t(have))
        return false;
      r.seg_k = k;
    }
    if (q >= have) {
      r.cut = true;
      return false;
    }
    const size_t take = std::min(n, have - q);
    std::memcpy(dst, r.seg.data() + q, take);
    dst += take;
    q += take;
    n -= take;
  }
  return true;
}

// Decodes the frames of one extent from (k, q) onto o, which may hold
// limit bytes. True at a zero size word, false at the segment's end or on
// damage (o.bad set).
bool zview::frames(reader &r, output &o, size_t limit, int64_t &k, size_t &q) const {
  for (;;) {
    if (q >= SEG || SEG - q < MIN_LEFT)
      return false;
    uint8_t w[2];
    if (!fetch(r, k, q, w, 2)) {
      o.bad = past_end(r.cut);
      return false;
    }
    const uint16_t n = le16(w);
    if (n == 0)
      return true;
    const size_t len = n & 0x7FFF;
    const size_t have = seg_len(k);
    if (!spanning_ && q + len > have) {
      o.bad = "has a frame of " + std::to_string(len) + " bytes where " +
              std::to_string(have - q) + " are left" +
              (have < SEG ? " before the end of the image" : "");
      return false;
    }
    if (!fetch(r, k, q, r.frame.data(), len)) {
      o.bad = past_end(r.cut);
      return false;
    }
    // The buffer grows as frames come, uninitialised: most extents are
    // far below the limit, and zeroing what a frame overwrites is waste.
    size_t usable = std::min(o.alloc, limit);
    if (usable - o.len < QIC122_FRAME_MAX && usable < limit) {
      usable = std::min(limit, std::max(2 * usable, o.len + QIC122_FRAME_MAX));
      auto grown = std::make_unique_for_overwrite<uint8_t[]>(usable);
      if (o.len > 0)
        std::memcpy(grown.get(), o.buf.get(), o.len);
      o.buf = std::move(grown);
      o.alloc = usable;
    }
    const size_t room = std::min(usable - o.len, QIC122_FRAME_MAX);
    int64_t got;
    if (n & 0x8000) {
      got = len <= room ? int64_t(len) : int64_t(QIC122_TOO_LONG);
      if (got >= 0)
        std::memcpy(o.buf.get() + o.len, r.frame.data(), len);
    } else {
      got = qic122_decode(r.frame.data(), len, o.buf.get() + o.len, room);
    }
    if (got < 0) {
      o.bad = got == QIC122_TOO_LONG     ? "has a frame that expands past its limit"
              : got == QIC122_BAD_OFFSET ? "has a frame that refers before its start"
                                         : "has a frame without its end marker";
      return false;
    }
    o.len += size_t(got);
  }
}

// An index entry is the first extent that begins in its segment. When
// extents span segments, more may begin in the same segment after it: they
// are decoded with it, as the index has no word of theirs. Reads only what
// open() settled, so any thread may run it.
void zview::inflate(size_t i, reader &r, output &o) const {
  const extent &x = ext_[i];
  const bool last = i + 1 == ext_.size();
  const int64_t span = last ? EXTENT_MAX : ext_[i + 1].u - x.u;
  const size_t limit = size_t(std::min(span, EXTENT_MAX));
  o.len = 0;
  o.bad.clear();
  r.cut = false;
  if (span > EXTENT_MAX) {
    o.bad = "claims " + std::to_string(span) + " bytes";
    return;
  }
  int64_t k = x.seg;
  size_t q = x.pos;
  for (bool first = true;; first = false) {
    uint8_t w[8] = {};
    if (!fetch(r, k, q, w, width_)) {
      o.bad = past_end(r.cut);
      break;
    }
    const uint64_t u = width_ == 8 ? le64(w) : le32(w);
    if (!first && u == 0)
      break; // fill after the last extent
    if (!first && u != uint64_t(x.u) + o.len) {
      o.bad = "holds an extent at uncompressed offset " + std::to_string(u) + " where " +
              std::to_string(uint64_t(x.u) + o.len) + " was due";
      break;
    }
    if (!frames(r, o, limit, k, q) || !spanning_ || k != x.seg || SEG - q < width_ + MIN_LEFT)
      break;
  }
  if (o.bad.empty() && !last && int64_t(o.len) != span)
    o.bad = "expands to " + std::to_string(o.len) + " bytes where " + std::to_string(span) +
            " were due";
}

void zview::settle(size_t i, output &o) {
  extent &x = ext_[i];
  x.valid = int64_t(o.len);
  if (!o.bad.empty() && !x.reported) {
    x.reported = true;
    hole(x.u + x.valid, i + 1 == ext_.size() ? x.u + x.valid : ext_[i + 1].u,
         "extent in segment " + std::to_string(x.seg) + " " + o.bad);
  }
}

void zview::decode(size_t i) {
  if (cur_ == i)
    return;
  const bool onward = cur_ != SIZE_MAX && i == cur_ + 1;
  cur_ = SIZE_MAX;
  if (!ahead_take(i, out_))
    inflate(i, rd_, out_);
  cur_ = i;
  settle(i, out_);
  if (onward)
    ahead_fill(i);
}

// ---- read-ahead -------------------------------------------------------------
//
// A listing of small files needs every extent, and decoding is most of its
// time: while reads go forward, a worker decodes the next extents, and the
// reading thread, when it would wait, decodes a later one itself. Jobs are
// taken in extent order, so the queue holds done and running jobs first and
// queued ones after them.

namespace {

constexpr size_t AHEAD_JOBS = 4;
constexpr int64_t AHEAD_BYTES = 2 << 20; // beyond the first job
constexpr size_t SPARE_MAX = 1 << 20;    // larger buffers are not kept

bool can_go_ahead() {
  static const bool two = std::thread::hardware_concurrency() > 1;
  return two;
}

} // namespace

// These three run with mu_ held.
std::deque<zview::job>::iterator zview::first_queued() {
  return std::find_if(jobs_.begin(), jobs_.end(),
                      [](const job &j) { return j.state == job::queued; });
}

void zview::drop_queued() {
  while (!jobs_.empty() && jobs_.back().state == job::queued)
    jobs_.pop_back();
}

void zview::keep_spare(output &o) {
  if (o.alloc <= SPARE_MAX && spare_.size() < AHEAD_JOBS)
    spare_.push_back(std::move(o));
}

bool zview::ahead_take(size_t i, output &o) {
  std::unique_lock l(mu_);
  if (jobs_.empty())
    return false;
  if (jobs_.front().i != i) {
    // The reads went elsewhere: what was queued is dropped, what runs is
    // let finish.
    drop_queued();
    cv_.wait(l, [&] {
      return std::all_of(jobs_.begin(), jobs_.end(),
                         [](const job &j) { return j.state == job::done; });
    });
    for (job &j : jobs_)
      keep_spare(j.out);
    jobs_.clear();
    return false;
  }
  while (jobs_.front().state != job::done) {
    auto q = first_queued();
    if (q == jobs_.end()) {
      cv_.wait(l);
      continue;
    }
    q->state = job::running;
    l.unlock();
    inflate(q->i, rd_, q->out);
    l.lock();
    q->state = job::done;
    cv_.notify_all();
  }
  std::swap(o, jobs_.front().out);
  keep_spare(jobs_.front().out);
  jobs_.pop_front();
  return true;
}

void zview::ahead_fill(size_t i) {
  if (!can_go_ahead())
    return;
  std::unique_lock l(mu_);
  auto span = [&](size_t k) { return (k + 1 < ext_.size() ? ext_[k + 1].u : size_) - ext_[k].u; };
  size_t next = jobs_.empty() ? i + 1 : jobs_.back().i + 1;
  int64_t bytes = 0;
  for (const job &j : jobs_)
    bytes += span(j.i);
  bool added = false;
  for (; jobs_.size() < AHEAD_JOBS && next < ext_.size(); next++) {
    if (!jobs_.empty() && bytes + span(next) > AHEAD_BYTES)
      break;
    bytes += span(next);
    jobs_.push_back({next, {}});
    if (!spare_.empty()) {
      jobs_.back().out = std::move(spare_.back());
      spare_.pop_back();
    }
    added = true;
  }
  if (added && !worker_.joinable()) {
    stop_ = false;
    try {
      worker_ = std::thread([this] { work(); });
    } catch (const std::system_error &) {
      // No thread to be had: the reading thread takes the queued jobs
      // itself as it reaches them, one at a time.
    }
  }
  if (added)
    cv_.notify_all();
}

void zview::work() {
  auto r = std::make_unique<reader>();
  std::unique_lock l(mu_);
  for (;;) {
    auto q = jobs_.end();
    cv_.wait(l, [&] {
      q = first_queued();
      return stop_ || q != jobs_.end();
    });
    if (stop_)
      return;
    q->state = job::running;
    job &j = *q;
    l.unlock();
    inflate(j.i, *r, j.out);
    l.lock();
    j.state = job::done;
    cv_.notify_all();
  }
}

void zview::ahead_stop() {
  {
    std::unique_lock l(mu_);
    stop_ = true;
    drop_queued();
  }
  cv_.notify_all();
  if (worker_.joinable())
    worker_.join();
  // The worker ends its job before it looks at stop_; a job the reading
  // thread ran is done, as that thread is here.
  jobs_.clear();
  stop_ = false;
}

bool zview::extent_at(int64_t off, const uint8_t **p, int64_t *begin, int64_t *len) {
  if (off < 0 || off >= size_)
    return false;
  // Most reads fall in the extent the one before used.
  if (cur_ < ext_.size() && off >= ext_[cur_].u && off - ext_[cur_].u < ext_[cur_].valid) {
    *p = out_.buf.get();
    *begin = ext_[cur_].u;
    *len = ext_[cur_].valid;
    return true;
  }
  auto it = std::upper_bound(ext_.begin(), ext_.end(), off,
                             [](int64_t v, const extent &x) { return v < x.u; });
  if (it == ext_.begin())
    return false;
  const size_t i = size_t(it - ext_.begin()) - 1;
  decode(i);
  if (off - ext_[i].u >= ext_[i].valid)
    return false;
  *p = out_.buf.get();
  *begin = ext_[i].u;
  *len = ext_[i].valid;
  return true;
}

void zview::decode_untried() {
  for (size_t i = 0; i < ext_.size(); i++)
    if (ext_[i].valid < 0)
      decode(i);
}

bool zview::current(const uint8_t **p, int64_t *begin, int64_t *len) const {
  if (cur_ >= ext_.size() || ext_[cur_].valid <= 0)
    return false;
  *p = out_.buf.get();
  *begin = ext_[cur_].u;
  *len = ext_[cur_].valid;
  return true;
}

int64_t zview::next_extent(int64_t off) const {
  auto it = std::upper_bound(ext_.begin(), ext_.end(), off,
                             [](int64_t v, const extent &x) { return v < x.u; });
  return it == ext_.end() ? size_ : it->u;
}

int64_t zview::read(int64_t off, uint8_t *dst, size_t n) {
  size_t got = 0;
  while (got < n) {
    const uint8_t *p;
    int64_t b, l;
    if (!extent_at(off + int64_t(got), &p, &b, &l))
      break;
    const int64_t at = off + int64_t(got) - b;
    const size_t take = size_t(std::min<int64_t>(int64_t(n - got), l - at));
    std::memcpy(dst + got, p + at, take);
    got += take;
  }
  return got == 0 && n > 0 && off < size_ ? -1 : int64_t(got);
}

// ---- the view as a source ---------------------------------------------------

std::unique_ptr<zview_source> zview_source::open(const std::string &path, int64_t start,
                                                 int64_t end, bool spanning, std::string *why) {
  std::unique_ptr<zview_source> z(new zview_source(path));
  if (!z->resume()) {
    *why = "cannot be opened";
    return nullptr;
  }
  if (!z->z_.open(z->fd_.get(), start, end, spanning, why))
    return nullptr;
  return z;
}

void zview_source::sync() {
  int64_t b, l;
  if (z_.current(&win_p, &b, &l)) {
    win_off = b;
    win_len = size_t(l);
  } else {
    win_len = 0;
  }
}

void zview_source::decode_untried() {
  z_.decode_untried();
  sync();
}

void zview_source::park() {
  z_.release();
  z_.use_fd(-1);
  fd_.reset();
  sync();
}

bool zview_source::resume() {
  if (fd_.get() >= 0)
    return true;
  fd_.reset(open_image(path_.c_str()));
  z_.use_fd(fd_.get());
  return fd_.get() >= 0;
}

int64_t zview_source::read(void *dst, size_t n) {
  const int64_t r = z_.read(pos, static_cast<uint8_t *>(dst), n);
  if (r > 0)
    pos += r;
  sync();
  return r;
}

// Decoded, not copied: the extents in the way are inflated and passed.
int64_t zview_source::pass(int64_t n) {
  int64_t got = 0;
  while (got < n) {
    const uint8_t *p;
    int64_t b, l;
    if (!z_.extent_at(pos + got, &p, &b, &l))
      break;
    got += std::min(n - got, l - (pos + got - b));
  }
  sync();
  if (got == 0 && n > 0)
    return -1;
  pos += got;
  return got;
}

// Straight from the decoded extent.
int64_t zview_source::copy(int fo, int64_t n, bool *rfail) {
  *rfail = false;
  int64_t got = 0;
  while (got < n) {
    const uint8_t *p;
    int64_t b, l;
    if (!z_.extent_at(pos, &p, &b, &l)) {
      *rfail = true;
      break;
    }
    const int64_t at = pos - b;
    const size_t take = size_t(std::min(n - got, l - at));
    const size_t w = write_some(fo, p + at, take);
    got += int64_t(w);
    pos += int64_t(w);
    if (w < take)
      break;
  }
  sync();
  return got;
}

int64_t zview_source::find(int64_t off, uint32_t sig) {
  const int64_t f = find_from(off, sig);
  pos = f >= 0 ? f + 4 : std::max(off, z_.size());
  sync();
  return f;
}

// The first whole match at or after off inside the view, holes passed by.
int64_t zview_source::find_from(int64_t off, uint32_t sig) {
  if (off < 0)
    return -1;
  while (off < z_.size()) {
    const uint8_t *p;
    int64_t b, l;
    if (!z_.extent_at(off, &p, &b, &l)) {
      int64_t nx = z_.next_extent(off);
      if (nx <= off)
        break;
      off = nx;
      continue;
    }
    const size_t at = size_t(off - b), n = size_t(l) - at;
    size_t i = find_sig(p + at, n, sig);
    if (i < n)
      return off + int64_t(i);
    // A value cut by the border with the next extent.
    uint8_t t[6];
    const int64_t from = std::max(off, b + l - 3);
    int64_t r = z_.read(from, t, 6);
    for (int64_t k = 0; k + 4 <= r; k++)
      if (from + k < b + l && le32(t + k) == sig)
        return from + k;
    off = b + l;
  }
  return -1;
}

} // namespace cartsift::window
