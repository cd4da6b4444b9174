// Opening a set: every image checked and put in cartridge order before
// anything is written, and one stream over their data regions.
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "cli/cli.h"

namespace cartsift::cli {

namespace {

void vsay(FILE *to, const char *fmt, va_list ap) CARTSIFT_PRINTF(2, 0);
void vsay(FILE *to, const char *fmt, va_list ap) {
  std::fflush(stdout); // messages stay in order with what went before
  progress::clear();
  text(to, "cartsift: ");
  vtextf(to, fmt, ap);
  text(to, "\n");
}

std::string hex(unsigned v) {
  char t[16];
  std::snprintf(t, sizeof t, "%02x", v);
  return t;
}

int fail(const std::string &img, const char *why) {
  textf(stderr, "cartsift: %s: %s\n", img.c_str(), why);
  return 0;
}

// Reads the header and volume table; false after its one line.
bool read_image(const std::string &path, image_info *ii, uint64_t *dev, uint64_t *ino) {
  img_handle fp(img_open(path.c_str()));
  if (fp.get() < 0)
    return fail(path, std::strerror(errno));
  platform::file_info st;
  if (!platform::stat_file(fp.get(), &st))
    return fail(path, std::strerror(errno));
  *dev = st.dev;
  *ino = st.ino;
  ii->path = path;
  ii->size = img_seek(fp.get(), 0, SEEK_END);
  std::unique_ptr<fheader> h = get_fheader(fp.get(), 0, 0);
  if (!h)
    return fail(path, ii->size < int64_t(HDR_SIZE) ? "not a cartridge image (too short)"
                                                   : "not a cartridge image (no file header)");
  // A compressed volume counts its own blocks too, not its twin's: the
  // offset of a catalog stored after its segments is computed from it.
  ii->hdr_size = int64_t(hdr_nblk(*h)) * BLOCK_SIZE;
  std::unique_ptr<qic_vtbl> v = get_vtbl(fp.get());
  if (!v && ii->size < ii->hdr_size && ii->size < VTBL_OFFSET + int64_t(sizeof(qic_vtbl))) {
    const std::string why = "truncated before its volume table: " + std::to_string(ii->size) +
                            " bytes where its header gives " + std::to_string(ii->hdr_size);
    rep.cut_before_vtbl = true;
    return fail(path, why.c_str());
  }
  if (!v)
    return fail(path, "not a cartridge image (no volume table)");
  ii->hdr = *h;
  ii->vt = *v;
  const uint8_t comp = ii->vt.comp;
  if (comp != 0 && (!(comp & 0x80) || (comp & 0x3F) != 1)) {
    const std::string why = "compressed volume of type " + std::to_string(comp & 0x3F) +
                            " (compression byte 0x" + hex(comp) + "), not supported";
    return fail(path, why.c_str());
  }
  ii->compressed = comp != 0;
  ii->cats = cat_offset(ii->hdr, ii->vt);
  // A catalog offset inside the data region's first block or past the end
  // cannot bound it: the data then runs to the end of the image.
  ii->data_end = ii->cats > DATA_START && ii->cats <= ii->size ? ii->cats : ii->size;
  if (ii->compressed) {
    // The catalog is stored where an uncompressed image has it when an
    // entry reads there; else it follows the data inside the stream.
    ii->cat_stored = ii->cats > DATA_START && ii->cats < ii->size && seek_to(fp.get(), ii->cats) &&
                     cat_reader(fp.get()).next() != nullptr;
    if (!ii->cat_stored)
      ii->data_end = ii->size;
  }
  // A cut at or after the catalog's start leaves the data region whole.
  ii->data_cut = ii->truncated() && ii->data_end == ii->size &&
                 (ii->compressed || ii->cats != ii->size);
  ii->njd = get_fhead_sdata(ii->hdr, &ii->job, &ii->disk);
  return true;
}

std::string label(const qic_vtbl &v) { return std::string(v.desc, strnlen(v.desc, 44)); }

} // namespace

void reporter::warn(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vsay(stderr, fmt, ap);
  va_end(ap);
}

void reporter::skip(const char *fmt, ...) {
  skipped++;
  va_list ap;
  va_start(ap, fmt);
  vsay(stderr, fmt, ap);
  va_end(ap);
}

cart_set::~cart_set() {
  if (sfd >= 0)
    set_close(sfd);
}

std::unique_ptr<cart_set> open_set(const options &o) {
  auto s = std::make_unique<cart_set>();
  std::vector<std::pair<uint64_t, uint64_t>> ids;
  for (const auto &p : o.images) {
    image_info ii;
    uint64_t dev, ino;
    if (!read_image(p, &ii, &dev, &ino))
      return nullptr;
    for (size_t k = 0; k < ids.size(); k++)
      if (ids[k] == std::make_pair(dev, ino) && !o.as_given) {
        fail(p, ("the same image as " + s->images[k].path).c_str());
        return nullptr;
      }
    ids.emplace_back(dev, ino);
    s->images.push_back(std::move(ii));
  }
  if (!o.as_given) {
    std::stable_sort(s->images.begin(), s->images.end(),
                     [](const image_info &a, const image_info &b) { return a.vt.seq < b.vt.seq; });
    for (size_t k = 1; k < s->images.size(); k++)
      if (s->images[k].vt.seq == s->images[k - 1].vt.seq) {
        std::string why = "the same sequence number (" + std::to_string(s->images[k].vt.seq) +
                          ") as " + s->images[k - 1].path + "; give --as-given to read them "
                          "in the order given";
        fail(s->images[k].path, why.c_str());
        return nullptr;
      }
  }

  const image_info &first = s->images.front();
  for (auto &ii : s->images) {
    if (label(ii.vt) != label(first.vt) || ii.vt.date != first.vt.date)
      rep.warn("%s: label or creation date differ from %s's: another backup?", ii.path.c_str(),
               first.path.c_str());
  }
  // A lone image that does not say it spans cartridges is whole, whatever
  // its sequence number.
  const bool a_set = s->images.size() > 1 || (first.vt.flag & 0x02);
  if (!o.as_given && a_set) {
    // A set starts at sequence number 1; a single volume may say 0.
    unsigned expect = first.vt.seq <= 1 ? first.vt.seq : 1;
    for (auto &ii : s->images) {
      for (unsigned q = expect; q < ii.vt.seq; q++)
        s->missing.push_back(q);
      ii.gap_before = ii.vt.seq > expect;
      expect = ii.vt.seq + 1u;
    }
    for (unsigned q : s->missing)
      rep.problem("", 0, "missing", "cartridge %u of the set is missing", q);
  }
  for (const auto &ii : s->images)
    if (ii.truncated())
      rep.problem(ii.path, ii.size, "truncated",
                  "image truncated: %lld bytes where its header gives %lld",
                  static_cast<long long>(ii.size), static_cast<long long>(ii.hdr_size));

  std::vector<set_part> parts;
  for (size_t k = 0; k < s->images.size(); k++) {
    const image_info &ii = s->images[k];
    set_part p;
    p.path = ii.path;
    p.inflate = ii.compressed;
    p.spanning = ii.compressed && (ii.vt.flag & 0x10);
    p.start = DATA_START;
    p.end = std::max(ii.data_end, DATA_START);
    // The bytes after a cut are not those that followed it on the cartridge.
    p.gap_before = ii.gap_before || (k > 0 && s->images[k - 1].data_cut);
    parts.push_back(std::move(p));
  }
  std::string why;
  s->sfd = set_open(std::move(parts), &why);
  if (s->sfd < 0) {
    if (why.empty())
      fail(first.path, "cannot open the set");
    else
      textf(stderr, "cartsift: %s\n", why.c_str());
    return nullptr;
  }
  s->total = img_seek(s->sfd, 0, SEEK_END);
  (void)img_seek(s->sfd, 0, SEEK_SET);
  return s;
}

place where(const cart_set &s, int64_t soff) {
  set_place p = set_locate(s.sfd, soff);
  return {&s.images[p.part], p.off};
}

const image_info *cut_at(const cart_set &s, int64_t soff) {
  for (size_t k = 0; k < s.images.size(); k++) {
    const int64_t end = k + 1 < s.images.size() ? set_base(s.sfd, k + 1) : s.total;
    if (s.images[k].data_cut && end == soff)
      return &s.images[k];
  }
  return nullptr;
}

int images_spanned(const cart_set &s, const walk_entry &e) {
  if (e.flen == 0)
    return 0;
  const int64_t last = e.data + std::max<int64_t>(e.avail, 1) - 1;
  return int(set_locate(s.sfd, last).part - set_locate(s.sfd, e.data).part) + 1;
}

walk_result walk_set(const cart_set &s, walk_visitor &v) {
  int64_t start = 0;
  if (s.images.front().gap_before) {
    start = fnd_sig(s.sfd, 0, DIR_SIG);
    const image_info &f = s.images.front();
    if (start != 0)
      rep.warn("%s: 0x%llx: %lld bytes before the first entry are the rest of a file begun on "
               "a cartridge not given",
               f.path.c_str(), static_cast<unsigned long long>(DATA_START),
               static_cast<long long>(start < 0 ? s.total : start));
    if (start < 0)
      return {};
  }
  if (!seek_to(s.sfd, start)) {
    rep.problem(s.images.front().path, DATA_START, "read", "cannot reach the first entry");
    return {};
  }
  walk_rules rules;
  rules.drive_now = true;
  rules.go_on = true;
  rules.by_standard = true;
  return walk_entries(s.sfd, rules, v);
}

} // namespace cartsift::cli
