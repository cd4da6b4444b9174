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

} // namespace

bool zview::open(int fd, int64_t start, int64_t end, bool spanning, std::string *why) {
  fd_ = fd;
  start_ = start;
  spanning_ = spanning;
  nseg_ = end > start ? (end - start) / int64_t(SEG) : 0;
  info.spanning = spanning;
  info.segments = nseg_;
  info.zbytes = nseg_ * int64_t(SEG);
  if (nseg_ == 0) {
    *why = "no whole segment after the volume table";
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
  std::vector<std::array<uint8_t, 8>> words(spots.size());
  for (size_t i = 0; i < spots.size(); i++)
    if (read_full(fd, words[i].data(), 8, seg_at(spots[i].first) + spots[i].second) != 8) {
      *why = "segment unreadable";
      return false;
    }
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
      hole(-1, -1, "extent in segment " + std::to_string(spots[i].first) +
                       " claims an uncompressed offset of " + std::to_string(u) +
                       ", beyond what the segments before it hold");
      continue;
    }
    if (!ext_.empty() && int64_t(u) <= ext_.back().u) {
      hole(-1, -1, "extent in segment " + std::to_string(spots[i].first) +
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
    hole(0, ext_.front().u, "the first extent starts at uncompressed offset " +
                                std::to_string(ext_.front().u));
  // The last extent's length is known only once decoded.
  decode(ext_.size() - 1);
  size_ = ext_.back().u + std::max<int64_t>(ext_.back().valid, 0);
  info.size = size_;
  release();
  return true;
}

void zview::release() {
  out_.reset();
  out_alloc_ = out_cap_ = 0;
  cur_ = SIZE_MAX;
}

int64_t zview::seg_at(int64_t k) const { return start_ + k * int64_t(SEG); }

void zview::hole(int64_t from, int64_t to, std::string why) {
  info.holes.push_back({from, to, std::move(why)});
}

// Bytes of an extent from its spot on, with segment headers skipped when
// extents span segments. False when the image ends.
bool zview::fetch(int64_t &k, size_t &q, uint8_t *dst, size_t n) {
  while (n > 0) {
    if (q >= SEG) {
      if (!spanning_ || ++k >= nseg_)
        return false;
      q = 2;
    }
    if (k != seg_k_) {
      if (read_full(fd_, seg_.data(), SEG, seg_at(k)) != int64_t(SEG))
        return false;
      seg_k_ = k;
    }
    const size_t take = std::min(n, SEG - q);
    std::memcpy(dst, seg_.data() + q, take);
    dst += take;
    q += take;
    n -= take;
  }
  return true;
}

// Decodes the frames of one extent from (k, q) into out_ from *o. True at a
// zero size word, false at the segment's end or on damage (bad set).
bool zview::frames(int64_t &k, size_t &q, size_t *o, std::string *bad) {
  for (;;) {
    if (q >= SEG || SEG - q < MIN_LEFT)
      return false;
    uint8_t w[2];
    if (!fetch(k, q, w, 2)) {
      *bad = "runs past the last segment";
      return false;
    }
    const uint16_t n = le16(w);
    if (n == 0)
      return true;
    const size_t len = n & 0x7FFF;
    if (!spanning_ && q + len > SEG) {
      *bad = "has a frame of " + std::to_string(len) + " bytes where " + std::to_string(SEG - q) +
             " are left";
      return false;
    }
    if (!fetch(k, q, frame_.data(), len)) {
      *bad = "runs past the last segment";
      return false;
    }
    // The buffer grows as frames come, uninitialised: most extents are
    // far below the limit, and zeroing what a frame overwrites is waste.
    if (out_cap_ - *o < QIC122_FRAME_MAX && out_cap_ < out_limit_) {
      const size_t cap = std::min(out_limit_, std::max(2 * out_cap_, *o + QIC122_FRAME_MAX));
      auto grown = std::make_unique_for_overwrite<uint8_t[]>(cap);
      if (*o > 0)
        std::memcpy(grown.get(), out_.get(), *o);
      out_ = std::move(grown);
      out_cap_ = out_alloc_ = cap;
    }
    const size_t room = std::min(out_cap_ - *o, QIC122_FRAME_MAX);
    int64_t r;
    if (n & 0x8000) {
      r = len <= room ? int64_t(len) : int64_t(QIC122_TOO_LONG);
      if (r >= 0)
        std::memcpy(out_.get() + *o, frame_.data(), len);
    } else {
      r = qic122_decode(frame_.data(), len, out_.get() + *o, room);
    }
    if (r < 0) {
      *bad = r == QIC122_TOO_LONG     ? "has a frame that expands past its limit"
             : r == QIC122_BAD_OFFSET ? "has a frame that refers before its start"
                                      : "has a frame without its end marker";
      return false;
    }
    *o += size_t(r);
  }
}

// An index entry is the first extent that begins in its segment. When
// extents span segments, more may begin in the same segment after it: they
// are decoded with it, as the index has no word of theirs.
void zview::decode(size_t i) {
  if (cur_ == i)
    return;
  extent &x = ext_[i];
  const bool last = i + 1 == ext_.size();
  const int64_t span = last ? EXTENT_MAX : ext_[i + 1].u - x.u;
  out_limit_ = size_t(std::min(span, EXTENT_MAX));
  out_cap_ = std::min(out_alloc_, out_limit_); // what this extent may use of it
  cur_ = i;
  std::string bad;
  size_t o = 0;
  if (span > EXTENT_MAX) {
    bad = "claims " + std::to_string(span) + " bytes";
  } else {
    int64_t k = x.seg;
    size_t q = x.pos;
    for (bool first = true;; first = false) {
      uint8_t w[8] = {};
      if (!fetch(k, q, w, width_)) {
        bad = "runs past the last segment";
        break;
      }
      const uint64_t u = width_ == 8 ? le64(w) : le32(w);
      if (!first && u == 0)
        break; // fill after the last extent
      if (!first && u != uint64_t(x.u) + o) {
        bad = "holds an extent at uncompressed offset " + std::to_string(u) + " where " +
              std::to_string(uint64_t(x.u) + o) + " was due";
        break;
      }
      if (!frames(k, q, &o, &bad) || !spanning_ || k != x.seg || SEG - q < width_ + MIN_LEFT)
        break;
    }
  }
  x.valid = int64_t(o);
  if (bad.empty() && !last && int64_t(o) != span)
    bad = "expands to " + std::to_string(o) + " bytes where " + std::to_string(span) +
          " were due";
  if (!bad.empty() && !x.reported) {
    x.reported = true;
    hole(x.u + int64_t(o), last ? x.u + int64_t(o) : ext_[i + 1].u,
         "extent in segment " + std::to_string(x.seg) + " " + bad);
  }
}

bool zview::extent_at(int64_t off, const uint8_t **p, int64_t *begin, int64_t *len) {
  if (off < 0 || off >= size_)
    return false;
  auto it = std::upper_bound(ext_.begin(), ext_.end(), off,
                             [](int64_t v, const extent &x) { return v < x.u; });
  if (it == ext_.begin())
    return false;
  const size_t i = size_t(it - ext_.begin()) - 1;
  decode(i);
  if (off - ext_[i].u >= ext_[i].valid)
    return false;
  *p = out_.get();
  *begin = ext_[i].u;
  *len = ext_[i].valid;
  return true;
}

void zview::decode_untried() {
  for (size_t i = 0; i < ext_.size(); i++)
    if (ext_[i].valid < 0)
      decode(i);
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

} // namespace cartsift::window
