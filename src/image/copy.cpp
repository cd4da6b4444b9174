// Copying image data to an output file in as few system calls as the two
// files allow.
#include <algorithm>

#include "image/image.h"

namespace cartsift {

using namespace window;

namespace {

// For a descriptor that is no source: read and write through a buffer of
// the call's own.
int64_t copy_uncached(int fd, int fo, int64_t n, bool *rfail) {
  const auto spare = std::make_unique_for_overwrite<uint8_t[]>(WIN_SIZE);
  int64_t got = 0;
  while (got < n) {
    size_t want = size_t(std::min<int64_t>(n - got, int64_t(WIN_SIZE)));
    int64_t r = read_full(fd, spare.get(), want, -1);
    if (r <= 0) {
      *rfail = true;
      break;
    }
    size_t w = write_some(fo, spare.get(), size_t(r));
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

} // namespace

int64_t img_copy(int fp, int fo, int64_t n, bool *rfail) {
  *rfail = false;
  if (source *s = lookup(fp))
    return s->copy(fo, n, rfail);
  return copy_uncached(fp, fo, n, rfail);
}

namespace window {

int64_t file_source::copy(int fo, int64_t n, bool *rfail) {
  *rfail = false;
  int64_t got = 0;
  // What the window holds already goes out from there.
  if (in_window(pos)) {
    size_t at = size_t(pos - win_off);
    size_t take = size_t(std::min<int64_t>(n, int64_t(win_len - at)));
    size_t w = write_some(fo, mem_.get() + at, take);
    got += int64_t(w);
    pos += int64_t(w);
    if (w < take)
      return got;
  }
  // Within one file system the rest moves inside the kernel, as cp moves
  // it; between two, through the window (measured faster than sendfile
  // into tmpfs: the kernel's own copy runs slower on unaligned pages than
  // two user copies). The outputs of a run share one directory tree, so a
  // refusal holds for the files after it too.
  while (got < n && copy_ == copy_way::range) {
    int64_t from = pos;
    size_t want = size_t(std::min<int64_t>(n - got, 1 << 30));
    int64_t r = platform::copy_range(fd(), &from, fo, want);
    if (r > 0) {
      got += r;
      pos += r;
      continue;
    }
    if (r == 0) { // the image ends here
      *rfail = true;
      return got;
    }
    if (r == platform::COPY_REFUSED) {
      copy_ = copy_way::user;
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
      int64_t at = platform::seek(fo, 0, SEEK_CUR);
      if (at >= 0)
        want = WIN_SIZE - size_t(at % int64_t(WIN_SIZE));
    }
    win_len = 0;
    if (!fill(want) || win_len == 0) {
      *rfail = true;
      break;
    }
    size_t take = size_t(std::min<int64_t>(n - got, int64_t(win_len)));
    size_t w = write_some(fo, mem_.get(), take);
    got += int64_t(w);
    pos += int64_t(w);
    if (w < take)
      break;
  }
  return got;
}

} // namespace window

} // namespace cartsift
