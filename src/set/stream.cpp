// A set of images read as one stream of data regions.
#include <algorithm>
#include <memory>
#include <typeinfo>

#include "set/set.h"

namespace cartsift {

namespace window {

// The parts are sources of their own, owned by the stream and never behind
// a handle. One image is open at a time, and a compressed one keeps its
// decoded extents only while it is read; its index stays for the set's life.
class set_stream final : public source {
public:
  static std::unique_ptr<set_stream> open(std::vector<set_part> parts, std::string *why);
  int handle() const { return token_.get(); }

  int64_t size() override { return total(); }
  int64_t read(void *dst, size_t n) override { return synced(read_parts(dst, n)); }
  int64_t pass(int64_t n) override { return synced(pass_parts(n)); }
  int64_t copy(int fo, int64_t n, bool *rfail) override {
    return synced(copy_parts(fo, n, rfail));
  }
  int64_t find(int64_t off, uint32_t sig) override { return synced(find_parts(off, sig)); }
  int64_t run_end(int64_t off) override {
    return off >= total() ? total() : barrier_after(std::max<int64_t>(off, 0));
  }

  std::vector<set_part> parts;
  std::vector<int64_t> base; // base[i]: stream offset of part i; base.back(): the end
  std::vector<std::unique_ptr<zview_source>> views; // per part; null when not compressed

  int64_t total() const { return base.back(); }
  // The part holding soff (the last one at or past the end).
  size_t part_of(int64_t soff) const {
    if (open_part_ < parts.size() && soff >= base[open_part_] && soff < base[open_part_ + 1])
      return open_part_;
    auto it = std::upper_bound(base.begin(), base.end() - 1, soff);
    return it == base.begin() ? 0 : size_t(it - base.begin() - 1);
  }
  void inflate_all();
  int64_t after_hole(int64_t soff);

private:
  set_stream() = default;
  // The source of part i, positioned at soff; null when its image cannot
  // be opened.
  source *at(size_t i, int64_t soff);
  int64_t read_parts(void *dst, size_t n);
  int64_t pass_parts(int64_t n);
  int64_t copy_parts(int fo, int64_t n, bool *rfail);
  int64_t find_parts(int64_t off, uint32_t sig);
  // The window: the open part's, inside its region.
  int64_t synced(int64_t r);
  // Offsets in a plain part's source are those of its image; in a
  // compressed one's, those of its inflated stream.
  int64_t origin(size_t i) const { return views[i] ? 0 : parts[i].start; }
  // The first barrier after soff, or the end.
  int64_t barrier_after(int64_t soff) const {
    for (size_t i = part_of(soff) + 1; i < parts.size(); i++)
      if (parts[i].gap_before)
        return base[i];
    return total();
  }

  std::unique_ptr<file_source> file_; // the plain part that is open
  size_t open_part_ = SIZE_MAX;
  // A set has no file of its own: this descriptor on the null device only
  // gives its handle a number that no other open descriptor has.
  plain_fd token_;
};

std::unique_ptr<set_stream> set_stream::open(std::vector<set_part> parts, std::string *why) {
  if (parts.empty())
    return nullptr;
  std::unique_ptr<set_stream> s(new set_stream);
  int64_t b = 0;
  for (auto &p : parts) {
    s->base.push_back(b);
    std::unique_ptr<zview_source> z;
    if (p.inflate) {
      std::string w;
      z = zview_source::open(p.path, p.start, p.end, p.spanning, &w);
      if (z == nullptr) {
        if (why)
          *why = p.path + ": compressed volume: " + w;
        return nullptr;
      }
      z->park();
      b += z->size();
    } else {
      b += std::max<int64_t>(0, p.end - p.start);
    }
    s->views.push_back(std::move(z));
  }
  s->base.push_back(b);
  s->parts = std::move(parts);
  s->token_.reset(platform::open_null());
  if (s->token_.get() < 0)
    return nullptr;
  return s;
}

source *set_stream::at(size_t i, int64_t soff) {
  if (open_part_ != i) {
    if (open_part_ < views.size() && views[open_part_])
      views[open_part_]->park();
    file_.reset();
    open_part_ = SIZE_MAX;
    if (views[i] ? !views[i]->resume()
                 : (file_ = file_source::open(parts[i].path.c_str())) == nullptr)
      return nullptr;
    open_part_ = i;
  }
  source *s = views[i] ? static_cast<source *>(views[i].get()) : file_.get();
  s->pos = origin(i) + (soff - base[i]);
  return s->pos >= 0 ? s : nullptr;
}

int64_t set_stream::synced(int64_t r) {
  win_len = 0;
  if (open_part_ >= parts.size())
    return r;
  const size_t i = open_part_;
  const source *s = views[i] ? static_cast<const source *>(views[i].get()) : file_.get();
  const int64_t shift = base[i] - origin(i); // from the part's offsets to the stream's
  const int64_t from = std::max(s->win_off + shift, base[i]);
  const int64_t to = std::min(s->win_end() + shift, base[i + 1]);
  if (from < to) {
    win_p = s->win_p + (from - (s->win_off + shift));
    win_off = from;
    win_len = size_t(to - from);
  }
  return r;
}

void set_stream::inflate_all() {
  for (size_t i = 0; i < parts.size(); i++)
    if (views[i] && at(i, base[i]) != nullptr)
      views[i]->decode_untried();
  synced(0);
}

int64_t set_stream::after_hole(int64_t soff) {
  if (soff < 0 || soff >= total())
    return soff;
  const size_t i = part_of(soff);
  if (!views[i] || at(i, soff) == nullptr)
    return synced(soff);
  // Opening the part may have parked the one the window showed.
  return synced(base[i] + views[i]->next_extent(soff - base[i]));
}

int64_t set_stream::read_parts(void *dst, size_t n) {
  auto *p = static_cast<uint8_t *>(dst);
  size_t got = 0;
  bool failed = false;
  while (got < n && pos < total()) {
    size_t i = part_of(pos);
    // A read may start right after a barrier, never run across one.
    if (got > 0 && pos == base[i] && parts[i].gap_before)
      break;
    source *s = at(i, pos);
    if (s == nullptr) {
      failed = true;
      break;
    }
    size_t want = size_t(std::min<int64_t>(int64_t(n - got), base[i + 1] - pos));
    int64_t r = s->read(p + got, want);
    if (r > 0) {
      got += size_t(r);
      pos += r;
    }
    if (r < int64_t(want)) { // the image is shorter than its region, or unreadable
      failed = r < 0;
      break;
    }
  }
  return got == 0 && failed ? -1 : int64_t(got);
}

int64_t set_stream::pass_parts(int64_t n) {
  int64_t got = 0;
  while (got < n && pos < total()) {
    size_t i = part_of(pos);
    if (got > 0 && pos == base[i] && parts[i].gap_before)
      break;
    source *s = at(i, pos);
    if (s == nullptr)
      return got > 0 ? got : -1;
    int64_t want = std::min(n - got, base[i + 1] - pos);
    int64_t r = s->pass(want);
    if (r > 0) {
      got += r;
      pos += r;
    }
    if (r < want)
      return r < 0 && got == 0 ? -1 : got;
  }
  return got;
}

int64_t set_stream::copy_parts(int fo, int64_t n, bool *rfail) {
  *rfail = false;
  const int64_t stop = std::min(barrier_after(std::min(pos, total())), total());
  int64_t got = 0;
  while (got < n) {
    if (pos >= stop) {
      *rfail = true;
      break;
    }
    size_t i = part_of(pos);
    source *s = at(i, pos);
    if (s == nullptr) {
      *rfail = true;
      break;
    }
    int64_t want = std::min(n - got, base[i + 1] - pos);
    bool rf = false;
    int64_t c = s->copy(fo, want, &rf);
    got += c;
    pos += c;
    if (c < want) {
      *rfail = rf;
      break;
    }
  }
  return got;
}

// Each part is searched in its own source, the match bounded by its
// region; a value that straddles two parts is looked for where they meet.
int64_t set_stream::find_parts(int64_t off, uint32_t sig) {
  if (off < 0)
    return -1;
  for (size_t i = part_of(off); off < total() && i < parts.size(); i++) {
    if (off >= base[i + 1])
      continue;
    const int64_t org = origin(i);
    if (source *s = at(i, off)) {
      int64_t f = s->find(org + (off - base[i]), sig);
      if (f >= 0 && f + 4 <= org + (base[i + 1] - base[i])) {
        pos = base[i] + (f - org) + 4;
        return pos - 4;
      }
    }
    // Up to 3 bytes before the border and the first bytes after it.
    if (i + 1 < parts.size() && !parts[i + 1].gap_before) {
      int64_t from = std::max(off, base[i + 1] - 3);
      uint8_t b[6];
      pos = from;
      int64_t n = read_parts(b, size_t(std::min<int64_t>(6, total() - from)));
      for (int64_t k = 0; k + 4 <= n; k++)
        if (le32(b + k) == sig && from + k < base[i + 1]) {
          pos = from + k + 4;
          return from + k;
        }
    }
    off = base[i + 1];
  }
  pos = total();
  return -1;
}

namespace {

set_stream *get(int sfd) {
  // The class is final: its type alone tells, at less cost than a cast
  // that searches the hierarchy.
  source *s = lookup(sfd);
  return s && typeid(*s) == typeid(set_stream) ? static_cast<set_stream *>(s) : nullptr;
}

} // namespace

} // namespace window

using namespace window;

int set_open(std::vector<set_part> parts) { return set_open(std::move(parts), nullptr); }

int set_open(std::vector<set_part> parts, std::string *why) {
  std::unique_ptr<set_stream> s = set_stream::open(std::move(parts), why);
  if (s == nullptr)
    return -1;
  const int h = s->handle();
  return enter(h, std::move(s));
}

const z_info *set_zinfo(int sfd, size_t part) {
  set_stream *s = get(sfd);
  return s && part < s->views.size() && s->views[part] ? &s->views[part]->info()
                                                       : nullptr;
}

void set_inflate_all(int sfd) {
  if (set_stream *s = get(sfd))
    s->inflate_all();
}

size_t set_parts(int sfd) {
  set_stream *s = get(sfd);
  return s ? s->parts.size() : 0;
}

// Indexed again: the two streams share nothing, so each may go its own way
// on its own thread.
int set_dup(int sfd) {
  set_stream *s = get(sfd);
  return s ? set_open(s->parts) : -1;
}

int64_t set_after_hole(int sfd, int64_t soff) {
  set_stream *s = get(sfd);
  return s ? s->after_hole(soff) : soff;
}

void set_close(int sfd) {
  if (get(sfd))
    img_close(sfd);
}

set_place set_locate(int sfd, int64_t soff) {
  set_place p;
  if (set_stream *s = get(sfd)) {
    p.part = s->part_of(soff);
    p.off = s->parts[p.part].start + (soff - s->base[p.part]);
  } else {
    p.off = soff;
  }
  return p;
}

int64_t set_base(int sfd, size_t part) {
  set_stream *s = get(sfd);
  return s && part < s->parts.size() ? s->base[part] : -1;
}

} // namespace cartsift
