// file_image: the image builder's writer for images that do not fit in
// memory. Small parts are made by `image` and appended through a buffer;
// holes are skipped over and become sparse regions of the file.
#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#include <windows.h>
#include <winioctl.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "img_builder.h"

namespace cartsift::build {

using namespace layout;

namespace {

constexpr size_t PEND_MAX = 1 << 20;

#ifdef _WIN32
// The C runtime's descriptors, which have no pwrite: a seek and a write,
// fine for a writer nothing else shares its descriptor with.
int64_t pwrite(int fd, const void *p, size_t n, uint64_t at) {
  if (_lseeki64(fd, int64_t(at), SEEK_SET) < 0)
    return -1;
  return _write(fd, p, unsigned(std::min<size_t>(n, 1u << 30)));
}

int open_new(const char *path) {
  const int fd = _open(path, _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
  // Holes stay holes on NTFS only in a sparse file; a file system that
  // cannot make one gets zeros written, which is slower but the same.
  DWORD got;
  if (fd >= 0)
    DeviceIoControl(HANDLE(_get_osfhandle(fd)), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &got,
                    nullptr);
  return fd;
}

bool size_to(int fd, uint64_t n) {
  struct _stati64 st;
  return _fstati64(fd, &st) == 0 && (uint64_t(st.st_size) >= n || _chsize_s(fd, int64_t(n)) == 0);
}
#else
int open_new(const char *path) {
  return ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

bool size_to(int fd, uint64_t n) {
  struct stat st;
  return fstat(fd, &st) == 0 && (uint64_t(st.st_size) >= n || ftruncate(fd, off_t(n)) == 0);
}
#endif

[[noreturn]] void fail(const std::string &what, const std::string &path) {
  throw std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

void pwrite_all(int fd, const uint8_t *p, size_t n, uint64_t at, const std::string &path) {
  while (n > 0) {
    const int64_t w = pwrite(fd, p, n, at);
    if (w < 0 && errno == EINTR)
      continue;
    if (w <= 0)
      fail("cannot write", path);
    p += w;
    n -= size_t(w);
    at += uint64_t(w);
  }
}

} // namespace

file_image::file_image(const std::string &path) : path_(path) {
  fd_ = open_new(path.c_str());
  if (fd_ < 0)
    fail("cannot create", path);
  pend_.reserve(PEND_MAX);
}

file_image::~file_image() {
  if (fd_ >= 0) {
    try {
      close();
    } catch (const std::exception &) {
      // A destructor cannot report; close() is the checked way out.
    }
  }
}

void file_image::flush() {
  if (!pend_.empty())
    pwrite_all(fd_, pend_.data(), pend_.size(), pend_at_, path_);
  pend_.clear();
  pend_at_ = end_;
}

void file_image::raw(std::span<const uint8_t> s) {
  if (comp_) {
    comp_->write(s);
    vend_ += s.size();
    return;
  }
  emit(s);
}

void file_image::emit(std::span<const uint8_t> s) {
  if (pend_.size() + s.size() > PEND_MAX)
    flush();
  if (s.size() >= PEND_MAX) {
    pwrite_all(fd_, s.data(), s.size(), end_, path_);
    end_ += s.size();
    pend_at_ = end_;
    return;
  }
  pend_.insert(pend_.end(), s.begin(), s.end());
  end_ += s.size();
}

void file_image::fill(uint64_t n, const fill_fn &f) {
  if (comp_) {
    // Slice by slice into the stream: a frame's worth is held, no more.
    std::vector<uint8_t> slice(size_t(std::min<uint64_t>(n, 1 << 16)));
    for (uint64_t at = 0; at < n;) {
      std::span<uint8_t> part(slice.data(), size_t(std::min<uint64_t>(n - at, slice.size())));
      if (f)
        f(at, part);
      raw(part);
      at += part.size();
    }
    return;
  }
  if (!f) {
    hole(n);
    return;
  }
  // Generated straight into the pending buffer: no slice to allocate and
  // clear for every entry of a 100,000-entry image.
  for (uint64_t at = 0; at < n;) {
    if (pend_.size() == PEND_MAX)
      flush();
    size_t k = size_t(std::min<uint64_t>(n - at, PEND_MAX - pend_.size()));
    size_t old = pend_.size();
    pend_.resize(old + k);
    f(at, std::span(pend_.data() + old, k));
    end_ += k;
    at += k;
  }
}

void file_image::hole(uint64_t n) {
  if (comp_) {
    fill(n, {}); // zeros are data in the stream
    return;
  }
  flush();
  end_ += n;
  pend_at_ = end_;
}

void file_image::pad_to(uint64_t off) {
  if (off < size())
    throw std::logic_error("pad_to: image already past the offset");
  hole(off - size());
}

void file_image::put_u32(uint64_t off, uint32_t v) {
  if (comp_ && off + 4 > DATA_START)
    throw std::logic_error("put_u32: the stream is already compressed");
  const uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
  put_bytes(off, b, 4);
}

void file_image::put_bytes(uint64_t off, const uint8_t *b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    uint64_t at = off + i;
    if (at >= end_)
      throw std::logic_error("put_bytes: past the end of the image");
    if (at >= pend_at_)
      pend_[size_t(at - pend_at_)] = b[i];
    else
      pwrite_all(fd_, b + i, 1, at, path_);
  }
}

void file_image::start(uint32_t nblk, std::string_view text, const vtbl_fields &v) {
  if (end_ != 0)
    throw std::logic_error("start: the image is not empty");
  compose([&](image &head) {
    head.header(nblk, text);
    head.vtbl(v); // pads to DATA_START
  });
  vflag_ = v.flag;
}

void file_image::begin_compressed(const comp_options &o) {
  if (end_ != DATA_START || comp_)
    throw std::logic_error("begin_compressed: not right after start()");
  if (o.catalog_in_stream)
    throw std::invalid_argument("begin_compressed: the catalog goes after the segments");
  comp_ = std::make_unique<seg_writer>(o, [this](std::span<const uint8_t> seg) { emit(seg); });
  spanning_ = o.spanning;
  vend_ = end_;
}

uint64_t file_image::end_compressed() {
  if (!comp_)
    throw std::logic_error("end_compressed: not compressing");
  comp_->finish();
  const uint64_t n = comp_->stream_size();
  comp_.reset();
  uint8_t b[8];
  for (size_t i = 0; i < 8; ++i)
    b[i] = uint8_t(n >> (8 * i));
  put_bytes(VTBL_OFFSET + VT_DATASZ, b, 8);
  b[0] = COMP_QIC122;
  put_bytes(VTBL_OFFSET + VT_COMP, b, 1);
  b[0] = uint8_t(vflag_ | (spanning_ ? VF_SPAN : 0));
  put_bytes(VTBL_OFFSET + VT_FLAG, b, 1);
  return n;
}

uint64_t file_image::dir_entry(const entry &e) {
  return compose([&](image &part) { part.dir_entry(e); });
}

uint64_t file_image::dir_entry(const entry &e, uint64_t n, const fill_fn &f) {
  entry h = e;
  h.data.clear();
  if (h.std) {
    if (!h.std->size && !h.flen)
      h.std->size = n;
  } else if (!h.flen) {
    if (n > UINT32_MAX)
      throw std::invalid_argument("dir_entry: data too long for a 32-bit length");
    h.flen = static_cast<uint32_t>(n);
  }
  const uint64_t at = dir_header(h);
  fill(n, f);
  if (h.trailer)
    trailer(h);
  return at;
}

uint64_t file_image::dir_header(const entry &e) {
  return compose([&](image &part) { part.dir_header(e); });
}

void file_image::trailer(const entry &e) {
  compose([&](image &part) { part.trailer(e); });
}

uint64_t file_image::cat_entry(const entry &e) {
  return compose([&](image &part) { part.cat_entry(e); });
}

void file_image::cat_end() {
  compose([](image &part) { part.cat_end(); });
}

void file_image::end_of_entries() {
  compose([](image &part) { part.end_of_entries(); });
}

void file_image::finish(uint64_t cat_off) {
  uint64_t end = end_;
  if (end < VTBL_OFFSET + 128)
    throw std::invalid_argument("finish: no volume table");
  if (cat_off % BLOCK_SIZE != 0 || cat_off > end)
    throw std::invalid_argument("finish: catalog offset not a block boundary inside the image");
  uint64_t whole = (end + BLOCK_SIZE - 1) / BLOCK_SIZE * BLOCK_SIZE;
  if (whole / BLOCK_SIZE > UINT32_MAX || end - cat_off > UINT32_MAX)
    throw std::invalid_argument("finish: image too large for the header's block count");
  pad_to(whole);
  auto nblk = static_cast<uint32_t>(whole / BLOCK_SIZE);
  put_u32(HDR_NBLK, nblk);
  put_u32(BLOCK_SIZE + HDR_NBLK, nblk);
  put_u32(VTBL_OFFSET + VT_DIRSZ, static_cast<uint32_t>(end - cat_off));
}

void file_image::close() {
  if (fd_ < 0)
    return;
  flush();
  // A trailing hole has no bytes yet: the length makes it part of the file.
  if (!size_to(fd_, end_))
    fail("cannot size", path_);
  int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0)
    fail("cannot close", path_);
}

} // namespace cartsift::build
