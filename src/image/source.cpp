// The handle table: from the int the record readers pass around to the
// source behind it.
#include <algorithm>
#include <atomic>
#include <cerrno>

#include "image/image.h"

namespace cartsift {

namespace window {

int64_t source::seek_far(int64_t off, int whence) {
  int64_t base = 0;
  if (whence == SEEK_CUR)
    base = pos;
  else if (whence == SEEK_END) {
    base = size();
    if (base < 0)
      return -1;
  } else if (whence != SEEK_SET) {
    errno = EINVAL;
    return -1;
  }
  if ((off > 0 && base > INT64_MAX - off) || base + off < 0) {
    errno = EINVAL;
    return -1;
  }
  pos = base + off;
  return pos;
}

// Under MinGW's winpthreads a std::mutex is made by a call, so the table
// cannot be constinit there; nothing reads it before main.
#ifdef __MINGW32__
handle_table handles;
#else
constinit handle_table handles;
#endif

int enter(int h, std::unique_ptr<source> s) {
  handles.put(h, s.release());
  return h;
}

std::unique_ptr<source> take(int h) { return std::unique_ptr<source>(handles.remove(h)); }

void handle_table::put(int h, source *s) {
  std::lock_guard l(mu_);
  slot(h, true)->store(s, std::memory_order_release);
}

source *handle_table::remove(int h) {
  std::lock_guard l(mu_);
  std::atomic<source *> *p = slot(h, false);
  return p ? p->exchange(nullptr, std::memory_order_acq_rel) : nullptr;
}

// Chunks never move; a directory is replaced, never changed in place, when
// it must grow, so that a lookup racing an open on another thread reads
// either one safely. Old directories stay allocated (a few hundred bytes
// over a run), and so does whatever is still open at exit: the process's
// end releases them.
std::atomic<source *> *handle_table::slot(int h, bool make) {
  if (h < 0)
    return nullptr;
  const size_t c = size_t(h) / CHUNK;
  dir *d = dir_.load(std::memory_order_relaxed);
  if (d == nullptr || c >= d->n) {
    if (!make)
      return nullptr;
    const size_t n = std::max(c + 1, d ? 2 * d->n : 4);
    auto *nd = new dir{n, new std::atomic<chunk *>[n] {}, d};
    for (size_t i = 0; d && i < d->n; i++)
      nd->c[i].store(d->c[i].load(std::memory_order_relaxed), std::memory_order_relaxed);
    dir_.store(nd, std::memory_order_release);
    d = nd;
  }
  chunk *k = d->c[c].load(std::memory_order_relaxed);
  if (k == nullptr) {
    if (!make)
      return nullptr;
    k = new chunk;
    d->c[c].store(k, std::memory_order_release);
  }
  return &k->s[size_t(h) % CHUNK];
}

} // namespace window

using namespace window;

void img_close(int fp) {
  // Out of the table first: once the descriptor is closed its number may be
  // handed out again. The source closes it as it goes.
  std::unique_ptr<source> s = take(fp);
  if (s == nullptr && fp >= 0)
    (void)platform::close_file(fp);
}

int64_t img_seek(int fp, int64_t off, int whence) {
  if (source *s = lookup(fp))
    return s->seek(off, whence);
  return platform::seek(fp, off, whence);
}

const uint8_t *img_peek(int fp, size_t *n) {
  *n = 0;
  const source *s = lookup(fp);
  if (s == nullptr || !s->in_window(s->pos))
    return nullptr;
  *n = size_t(s->win_end() - s->pos);
  return s->win_p + (s->pos - s->win_off);
}

int64_t img_run_end(int fp, int64_t off) {
  if (source *s = lookup(fp))
    return s->run_end(off);
  return file_size(fp);
}

} // namespace cartsift
