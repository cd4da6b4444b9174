// Compressed volumes: the uncompressed stream cut into frames and extents
// and packed into segments, in the layouts described in img_builder.h.
#include <algorithm>
#include <stdexcept>

#include "img_builder.h"

namespace cartsift::build {

using namespace layout;

seg_writer::seg_writer(const comp_options &o, sink_fn sink)
    : o_(o), sink_(std::move(sink)), lz_(std::make_unique<lz_state>()) {
  if (o_.offset_width != 8 && o_.offset_width != 4)
    throw std::invalid_argument("seg_writer: offset width must be 8 or 4");
  if (o_.frame_in == 0 || o_.frame_in > FRAME_OUT_MAX)
    throw std::invalid_argument("seg_writer: frame size out of range");
  if (o_.extent_frames == 0)
    throw std::invalid_argument("seg_writer: an extent needs a frame");
  seg_.resize(BLOCK_SIZE);
}

seg_writer::~seg_writer() = default;

void seg_writer::write(std::span<const uint8_t> data) {
  pend_.insert(pend_.end(), data.begin(), data.end());
  in_ += data.size();
  // Only full frames now: a short one waits for more data or for finish().
  while (pend_.size() - head_ >= o_.frame_in)
    frame();
  if (head_ > 0) {
    pend_.erase(pend_.begin(), pend_.begin() + ptrdiff_t(head_));
    head_ = 0;
  }
}

void seg_writer::finish() {
  while (head_ < pend_.size())
    frame();
  pend_.clear();
  head_ = 0;
  if (ext_open_)
    close_extent();
  if (seg_open_)
    end_segment();
}

void seg_writer::start_segment() {
  std::fill(seg_.begin(), seg_.end(), uint8_t(0));
  pos_ = o_.spanning ? 2 : 0; // 0 in the offset word: no extent begins here yet
  seg_open_ = true;
}

void seg_writer::end_segment() {
  sink_(seg_);
  seg_open_ = false;
  ++nseg_;
}

void seg_writer::put(const uint8_t *p, size_t n) {
  while (n > 0) {
    if (!seg_open_)
      start_segment();
    const size_t k = std::min(n, BLOCK_SIZE - pos_);
    if (k < n && !o_.spanning)
      throw std::logic_error("seg_writer: an extent would cross a segment");
    std::copy(p, p + k, seg_.begin() + ptrdiff_t(pos_));
    pos_ += k;
    p += k;
    n -= k;
    if (pos_ == BLOCK_SIZE)
      end_segment();
  }
}

void seg_writer::open_extent() {
  if (seg_open_ && BLOCK_SIZE - pos_ < o_.offset_width + EXTENT_MIN_LEFT)
    end_segment();
  if (!seg_open_)
    start_segment();
  if (o_.spanning && seg_[0] == 0 && seg_[1] == 0) {
    seg_[0] = uint8_t(pos_);
    seg_[1] = uint8_t(pos_ >> 8);
  }
  uint8_t off[8];
  for (unsigned i = 0; i < 8; ++i)
    off[i] = uint8_t(out_ >> (8 * i));
  put(off, o_.offset_width);
  ext_open_ = true;
  ext_frames_ = 0;
}

void seg_writer::close_extent() {
  ext_open_ = false;
  if (!o_.spanning || BLOCK_SIZE - pos_ < EXTENT_MIN_LEFT) {
    end_segment(); // the fill ends it, a zero size word included
    return;
  }
  pos_ += 2; // the zero size word, already there
}

void seg_writer::frame() {
  if (!ext_open_)
    open_extent();
  // Non-spanning frames must fit the segment; spanning ones only the size word.
  size_t room = FRAME_SIZE_MAX;
  if (!o_.spanning)
    room = std::min(room, BLOCK_SIZE - pos_ - 2);
  const std::span<const uint8_t> in(pend_.data() + head_,
                                    std::min(pend_.size() - head_, o_.frame_in));
  tmp_.clear();
  size_t used = lz_compress(*lz_, in, room, tmp_, o_.lazy);
  uint16_t size = uint16_t(tmp_.size());
  if (tmp_.size() >= used) { // compression does not pay: stored
    used = std::min(in.size(), room);
    tmp_.assign(in.begin(), in.begin() + ptrdiff_t(used));
    size = uint16_t(FRAME_STORED | used);
  }
  const uint8_t sz[2] = {uint8_t(size), uint8_t(size >> 8)};
  put(sz, 2);
  put(tmp_.data(), tmp_.size());
  head_ += used;
  out_ += used;
  ++ext_frames_;

  const bool short_room = !seg_open_ || BLOCK_SIZE - pos_ < EXTENT_MIN_LEFT;
  if (short_room || (o_.spanning && ext_frames_ == o_.extent_frames)) {
    if (seg_open_)
      close_extent();
    else
      ext_open_ = false; // the frame ended exactly at a segment's end
  }
}

image compress_image(const image &plain, const comp_options &o) {
  if (plain.size() < DATA_START)
    throw std::invalid_argument("compress_image: no data region");
  const uint64_t nblk = plain.get_u32(HDR_NBLK);
  const uint64_t dir = plain.get_u32(VTBL_OFFSET + VT_DIRSZ);
  const uint64_t dblk = (dir + BLOCK_SIZE - 1) / BLOCK_SIZE;
  if (nblk < dblk || (nblk - dblk) * BLOCK_SIZE < DATA_START ||
      (nblk - dblk) * BLOCK_SIZE > plain.size())
    throw std::invalid_argument("compress_image: the catalog offset is not in the image");
  const size_t cat_off = size_t((nblk - dblk) * BLOCK_SIZE);
  const size_t cat_end = std::min<size_t>(plain.size(), cat_off + dir);
  const std::span<const uint8_t> all(plain.b);
  const auto data = all.subspan(DATA_START, cat_off - DATA_START);
  const auto cat = all.subspan(cat_off, cat_end - cat_off);

  image c;
  c.b.assign(plain.b.begin(), plain.b.begin() + DATA_START);
  seg_writer w(o, [&](std::span<const uint8_t> seg) { c.raw(seg); });
  w.write(data);
  if (o.catalog_in_stream)
    w.write(cat);
  w.finish();

  c.put_u8(VTBL_OFFSET + VT_COMP, COMP_QIC122);
  if (o.spanning)
    c.put_u8(VTBL_OFFSET + VT_FLAG, uint8_t(c.b[VTBL_OFFSET + VT_FLAG] | VF_SPAN));
  c.put_u64(VTBL_OFFSET + VT_DATASZ, data.size());
  if (o.catalog_in_stream) {
    const auto blocks = uint32_t(c.size() / BLOCK_SIZE);
    c.put_u32(HDR_NBLK, blocks);
    c.put_u32(BLOCK_SIZE + HDR_NBLK, blocks);
    c.put_u32(VTBL_OFFSET + VT_DIRSZ, uint32_t(cat.size()));
  } else {
    const size_t at = c.size();
    c.raw(cat);
    finish(c, at);
  }
  return c;
}

} // namespace cartsift::build
