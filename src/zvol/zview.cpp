// The inflated view of a compressed volume: its segments' extents indexed by
// their uncompressed offsets, sparsely, one extent decoded at a time.
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

#include "zvol/zvol.h"

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
// Extent buffers come in steps of this, so that one serves many extents.
constexpr size_t ALLOC_STEP = 128 << 10;

// One extent in so many is kept in the index, which with two bits for every
// extent comes to some 90 KiB for 4 GiB of segments. Finding one between
// marks reads up to as many words again.
constexpr size_t MARK_EVERY = 64;

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

  // An 8-byte offset has zero high bytes; with 4 bytes, a frame's size
  // word stands there.
  // The majority of the first few decides, so that one damaged word cannot
  // turn the reading of all the others.
  size_t high = 0, seen = 0;
  for (int64_t k = 0; k < nseg_ && seen < 16; k++) {
    extent x;
    uint8_t w[8];
    const spot sp = read_spot(k, &x, w);
    if (sp == spot::unreadable) {
      *why = "segment unreadable";
      return false;
    }
    if (sp == spot::whole) {
      high += le32(w + 4) != 0;
      seen++;
    }
  }
  width_ = 2 * high > seen ? 4 : 8;
  info.width = width_;

  // The holes of words that cannot be true come after those of the
  // segments, as one look at each segment finds them.
  std::vector<z_hole> refused;
  int64_t refused_more = 0, cut_word = -1;
  extent prev;
  for (int64_t k = 0; k < nseg_; k++) {
    extent x;
    uint8_t w[8];
    switch (read_spot(k, &x, w)) {
    case spot::unreadable:
      *why = "segment unreadable";
      return false;
    case spot::none:
      continue;
    case spot::cut_seg:
      hole(-1, -1, "segment " + std::to_string(k) + " " + CUT_SHORT);
      continue;
    case spot::past_end:
      hole(-1, -1, "segment " + std::to_string(k) + " points past its end");
      continue;
    case spot::cut_word:
      cut_word = k;
      continue;
    case spot::whole:
      break;
    }
    const uint64_t u = word(w);
    const verdict v = follows(n_ext_ > 0 ? &prev : nullptr, k, u);
    if (v != verdict::fits && refused.size() == Z_HOLES_NAMED)
      refused_more++; // past those that can be named
    else if (v == verdict::beyond)
      refused.push_back({-1, -1,
                         "extent in segment " + std::to_string(k) +
                             " claims an uncompressed offset of " + std::to_string(u) +
                             ", beyond what the segments before it hold"});
    else if (v == verdict::back)
      refused.push_back({-1, -1,
                         "extent in segment " + std::to_string(k) +
                             " goes back to uncompressed offset " + std::to_string(u)});
    if (v != verdict::fits)
      continue;
    x.u = int64_t(u);
    if (n_ext_ % MARK_EVERY == 0)
      marks_.push_back(x);
    prev = x;
    n_ext_++;
  }
  if (cut_word >= 0)
    hole(-1, -1, "extent in segment " + std::to_string(cut_word) + " " + CUT_SHORT);
  for (auto &h : refused)
    hole(h.from, h.to, std::move(h.why));
  info.more_holes += refused_more;
  info.extents = int64_t(n_ext_);
  if (n_ext_ == 0) {
    *why = "no readable extent";
    return false;
  }
  tried_.assign(n_ext_, false);
  reported_.assign(n_ext_, false);
  if (marks_.front().u != 0)
    hole(0, marks_.front().u,
         "the first extent starts at uncompressed offset " + std::to_string(marks_.front().u));
  // The last extent's length is known only once decoded.
  if (!decode(n_ext_ - 1)) {
    *why = "segment unreadable";
    return false;
  }
  size_ = cur_x_.u + int64_t(out_.len);
  info.size = size_;
  release();
  return true;
}

// Where segment k's extent word stands, and the word.
zview::spot zview::read_spot(int64_t k, extent *x, uint8_t (&w)[8]) const {
  x->seg = k;
  x->pos = 0;
  if (spanning_) {
    uint8_t p[2];
    if (seg_len(k) < 2)
      return spot::cut_seg;
    if (read_full(fd_, p, 2, seg_at(k)) != 2)
      return spot::unreadable;
    x->pos = le16(p);
    if (x->pos == 0)
      return spot::none;
    if (x->pos < 2 || x->pos > SEG - MIN_LEFT)
      return spot::past_end;
  }
  if (x->pos + 8 > seg_len(k))
    return spot::cut_word;
  return read_full(fd_, w, 8, seg_at(k) + x->pos) == 8 ? spot::whole : spot::unreadable;
}

uint64_t zview::word(const uint8_t (&w)[8]) const { return width_ == 8 ? le64(w) : le32(w); }

// Whether an extent at u in segment k can follow prev (null: none before
// it): beyond when it claims more than the segments since can hold.
zview::verdict zview::follows(const extent *prev, int64_t k, uint64_t u) const {
  const int64_t prev_u = prev ? prev->u : 0;
  const int64_t segs = k - (prev ? prev->seg : 0) + 1;
  if (u > uint64_t(prev_u) + uint64_t(segs * SEG_OUT_MAX))
    return verdict::beyond;
  if (prev && int64_t(u) <= prev->u)
    return verdict::back;
  return verdict::fits;
}

// The extents from mark m on, found again as open() found them: the same
// words refused after the same extent before them.
const zview::block *zview::load(size_t m) {
  for (size_t s = 0; s < 2; s++)
    if (blocks_[s].mark == m) {
      recent_ = s;
      return &blocks_[s];
    }
  recent_ ^= 1;
  block &b = blocks_[recent_];
  b.mark = m;
  b.x.assign(1, marks_[m]);
  const size_t want = std::min(MARK_EVERY, n_ext_ - m * MARK_EVERY);
  for (int64_t k = marks_[m].seg + 1; b.x.size() < want && k < nseg_; k++) {
    extent x;
    uint8_t w[8];
    const spot sp = read_spot(k, &x, w);
    if (sp == spot::unreadable)
      break; // it read before: the extents from here on are lost
    if (sp != spot::whole || follows(&b.x.back(), k, word(w)) != verdict::fits)
      continue;
    x.u = int64_t(word(w));
    b.x.push_back(x);
  }
  return &b;
}

// Extent i, and where the next one starts (-1: it is the last).
bool zview::at(size_t i, extent *x, int64_t *next_u) {
  const size_t m = i / MARK_EVERY, j = i % MARK_EVERY;
  const block *b = i < n_ext_ ? load(m) : nullptr;
  if (!b || j >= b->x.size())
    return false;
  *x = b->x[j];
  *next_u = -1;
  if (i + 1 == n_ext_)
    return true;
  if (j + 1 < b->x.size()) {
    *next_u = b->x[j + 1].u;
    return true;
  }
  if (j + 1 < MARK_EVERY)
    return false; // the block was cut short
  *next_u = marks_[m + 1].u;
  return true;
}

// The last extent starting at or before off; SIZE_MAX when none does.
size_t zview::find(int64_t off) {
  auto by_u = [](int64_t v, const extent &x) { return v < x.u; };
  auto it = std::upper_bound(marks_.begin(), marks_.end(), off, by_u);
  if (it == marks_.begin())
    return SIZE_MAX;
  const size_t m = size_t(it - marks_.begin()) - 1;
  const block *b = load(m);
  auto jt = std::upper_bound(b->x.begin(), b->x.end(), off, by_u);
  return m * MARK_EVERY + size_t(jt - b->x.begin()) - 1;
}

void zview::release() {
  ahead_stop();
  out_ = output{};
  spare_.clear();
  cur_ = SIZE_MAX;
}

int64_t zview::seg_at(int64_t k) const { return start_ + k * int64_t(SEG); }

size_t zview::seg_len(int64_t k) const {
  return k == nseg_ - 1 && tail_ > 0 ? size_t(tail_) : SEG;
}

void zview::hole(int64_t from, int64_t to, std::string why) {
  if (info.holes.size() < Z_HOLES_NAMED)
    info.holes.push_back({from, to, std::move(why)});
  else
    info.more_holes++;
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
    // The buffer is the limit, uninitialised: a large one comes from pages
    // that only count once a frame writes to them. Grown by doubling it
    // would hold two copies at once, and the allocator would keep the
    // freed one.
    if (o.alloc < limit) {
      o.alloc = (limit + ALLOC_STEP - 1) / ALLOC_STEP * ALLOC_STEP;
      o.buf = std::make_unique_for_overwrite<uint8_t[]>(o.alloc);
    }
    const size_t usable = limit;
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
// open() settled and its arguments, so any thread may run it.
void zview::inflate(const extent &x, int64_t next_u, reader &r, output &o) const {
  const bool last = next_u < 0;
  const int64_t span = last ? EXTENT_MAX : next_u - x.u;
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

void zview::settle(size_t i, const extent &x, int64_t next_u, output &o) {
  tried_[i] = true;
  if (!o.bad.empty() && !reported_[i]) {
    reported_[i] = true;
    const int64_t valid = int64_t(o.len);
    hole(x.u + valid, next_u < 0 ? x.u + valid : next_u,
         "extent in segment " + std::to_string(x.seg) + " " + o.bad);
  }
}

// False when the extent cannot be found again in the segments.
bool zview::decode(size_t i) {
  if (cur_ == i)
    return true;
  const bool onward = cur_ != SIZE_MAX && i == cur_ + 1;
  cur_ = SIZE_MAX;
  extent x;
  int64_t next_u;
  if (!at(i, &x, &next_u))
    return false;
  if (!ahead_take(i, out_))
    inflate(x, next_u, rd_, out_);
  cur_ = i;
  cur_x_ = x;
  settle(i, x, next_u, out_);
  if (onward)
    ahead_fill(i);
  return true;
}

// ---- read-ahead -------------------------------------------------------------
//
// A listing of small files needs every extent, and decoding is most of its
// time: while reads go forward, a worker decodes the next extents, and the
// reading thread, when it would wait, decodes a later one itself. Jobs are
// taken in extent order, so the queue holds done and running jobs first and
// queued ones after them.

std::atomic<bool> refuse_worker{false};
std::atomic<unsigned> workers_started{0};

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
    inflate(q->x, q->next_u, rd_, q->out);
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
  auto span = [&](const extent &x, int64_t next_u) { return (next_u < 0 ? size_ : next_u) - x.u; };
  size_t next = jobs_.empty() ? i + 1 : jobs_.back().i + 1;
  int64_t bytes = 0;
  for (const job &j : jobs_)
    bytes += span(j.x, j.next_u);
  bool added = false;
  for (; jobs_.size() < AHEAD_JOBS && next < n_ext_; next++) {
    extent x;
    int64_t next_u;
    // A large extent waits to be reached: with one decoded ahead, the
    // buffers of two would be held at once.
    if (!at(next, &x, &next_u) || span(x, next_u) > int64_t(SPARE_MAX) ||
        (!jobs_.empty() && bytes + span(x, next_u) > AHEAD_BYTES))
      break;
    bytes += span(x, next_u);
    jobs_.push_back({next, x, next_u, {}});
    if (!spare_.empty()) {
      jobs_.back().out = std::move(spare_.back());
      spare_.pop_back();
    }
    added = true;
  }
  if (added && !worker_.joinable()) {
    stop_ = false;
    try {
      if (refuse_worker.load())
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
      worker_ = std::thread([this] { work(); });
      workers_started++;
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
    inflate(j.x, j.next_u, *r, j.out);
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
  if (cur_ == SIZE_MAX || off < cur_x_.u || off - cur_x_.u >= int64_t(out_.len)) {
    const size_t i = find(off);
    if (i == SIZE_MAX || !decode(i) || off - cur_x_.u >= int64_t(out_.len))
      return false;
  }
  *p = out_.buf.get();
  *begin = cur_x_.u;
  *len = int64_t(out_.len);
  return true;
}

void zview::decode_untried() {
  for (size_t i = 0; i < n_ext_; i++)
    if (!tried_[i])
      decode(i);
}

bool zview::current(const uint8_t **p, int64_t *begin, int64_t *len) const {
  if (cur_ == SIZE_MAX || out_.len == 0)
    return false;
  *p = out_.buf.get();
  *begin = cur_x_.u;
  *len = int64_t(out_.len);
  return true;
}

int64_t zview::next_extent(int64_t off) {
  const size_t i = find(off);
  extent x;
  int64_t next_u;
  if (i == SIZE_MAX)
    return at(0, &x, &next_u) ? x.u : size_;
  return at(i, &x, &next_u) && next_u >= 0 ? next_u : size_;
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
