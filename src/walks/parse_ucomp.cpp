// The classic listing of the data region: every entry at three levels of
// detail, extraction in extract mode and the entries saved for the field
// tests, over the entry walk.
#include <cstring>

#include "walks/walks.h"

namespace cartsift {

namespace {

enum class xstep { consumed, skip, failed };

class classic_listing final : public walk_visitor {
public:
  classic_listing(int fp, uint16_t mode, int64_t cats, const char *xpath, int32_t maxx,
                  std::unique_ptr<dir_list> *ptrl)
      : fp_(fp), mode_(mode), save_(mode & MODE_TESTS), cats_(cats), xpath_(xpath), maxx_(maxx),
        link_(ptrl) {}

  int nx() const { return nx_; }

  void entry(walk_entry &e) override {
    const dir_head &dh = e.dh;
    const uint8_t *u1 = dh.unknw1;
    const bool verb = mode_ & MODE_VERBOSE;
    const bool vverb = mode_ & MODE_VVERBOSE;
    out("\n%3d: Directory entry at offset 0x%lx  length 0x%lx  attrib 0x%x", e.cnt, x32(e.off),
        static_cast<unsigned long>(e.flen), ent_attrib(u1));
    if (vverb) {
      out("\nunknw1[0] 0x%x unknw1[2-3] 0x%04x unknw1[4] 0x%x unknw1[55-56] 0x%04x", u1[0],
          le16(u1 + 2), u1[4], le16(u1 + 55));
      out("\nunknw1[63-64] 0x%04x  unknw1[67-68] 0x%04x", le16(u1 + 63), le16(u1 + 67));
    }
    if (verb) {
      out("\n     path len 0x%x path flag  0x%x", e.plen & 0xFF, e.pflg);
      out("\n  1: ctime() of value 0x%lx: %s", static_cast<unsigned long>(ent_time1(u1)),
          ctime32(ent_time1(u1)).s);
      out("%3d: ctime() of value 0x%lx: %s", 2, static_cast<unsigned long>(ent_time2(u1)),
          ctime32(ent_time2(u1)).s);
      out("%3d: ctime() of value 0x%lx: %s", 3, static_cast<unsigned long>(ent_time3(u1)),
          ctime32(ent_time3(u1)).s);
      out("  4: ctime() of value 0x%lx: %s",
          static_cast<unsigned long>(ent_time4(dh.unknw2)), ctime32(ent_time4(dh.unknw2)).s);
    } else {
      out("\n     ctime() of value 0x%lx: %s", static_cast<unsigned long>(ent_time1(u1)),
          ctime32(ent_time1(u1)).s);
    }
    out("     ");
    disp_uni_str(*dh.nm1);
    if (verb) {
      out("\n     ");
      disp_uni_str(*dh.nm2);
      out("\n     ");
      disp_uni_str(*dh.nm3);
    }
    if (vverb) {
      out("\nunknw2[12-13] 0x%04x  unknw2[19-20] 0x%04x", le16(dh.unknw2 + 12),
          le16(dh.unknw2 + 19));
      out("\nunknw3[16] 0x%x  unknw3[20-21] 0x%04x", dh.unknw3[16], le16(dh.unknw3 + 20));
    }
    if (dh.path) {
      out("\n     ");
      if (e.drive) {
        disp_uni_str(*e.drive);
        out("\\");
      }
      disp_uni_path(*dh.path);
    }
  }

  data_use data(walk_entry &e) override {
    if (!(mode_ & MODE_XTRACT))
      return data_use::skip;
    switch (extract_step(e)) {
    case xstep::consumed:
      return data_use::consumed;
    case xstep::failed:
      return data_use::failed;
    case xstep::skip:
      break;
    }
    return data_use::skip;
  }

  void drive_overflow() override {
    out("\nWarning need larger MAX_DRV, over writing drv[%d]", MAX_DRV - 1);
  }
  void last_drive(int ndrv, const uni_str *cur) override {
    out("\n\nlast drive spec for a total of %d drives, starting on drive ", ndrv);
    if (cur)
      disp_uni_str(*cur);
    else
      out("?");
    out("\n");
  }
  void drive_change(const uni_str *to) override {
    if (to) {
      out("\nincrement drive to ");
      disp_uni_str(*to);
    } else {
      out("\ndrive logic error lrflg == PF_LAST, but on last drive");
    }
  }
  void end_flag(const walk_entry &) override {
    out("\nTerminate: saw PF_END flag in this record");
  }
  void bad_trailer(const walk_entry &, int64_t at, const uint8_t *b, int64_t n) override {
    out("\nfailed to read valid trailer, bytes read below end at offset 0x%lx:\n", x32(at));
    for (int64_t i = 0; i < n; i++)
      out("0x%02x ", b[i]);
    out("\n");
  }
  void skip_ahead(int64_t expected, int64_t found) override {
    if (mode_ & MODE_VERBOSE)
      out("\nfound DIR_SIG 0x%lx bytes after expected!, skip ahead at offset 0x%lx",
          x32(found - expected), x32(expected));
  }
  void skip_failed() override { out("\nerror skipping over file data"); }
  void seek_failed() override {
    out("\nerror adjusting file position to next DIR_SIG in parse_ucomp()");
  }
  void done(walk_entry &e) override {
    if (save_ && link_) {
      auto node = std::make_unique<dir_list>();
      node->cnt = e.cnt;
      node->off = e.off;
      node->dhead = std::move(e.dh);
      *link_ = std::move(node);
      link_ = &(*link_)->next;
    }
    out("\n");
  }

private:
  // Offers one file to extraction: builds its path, applies the -p filter
  // and writes it when selected.
  xstep extract_step(const walk_entry &e) {
    const dir_head &dh = e.dh;
    size_t fidx = 0;
    const uni_str *drive = nullptr;
    const bool filter_has_drive = xpath_ && xpath_[0] != '\0' && xpath_[1] == ':';
    if (!e.drive || filter_has_drive) {
      (void)mk_path_str(nullptr, dh.path.get());
      if (filter_has_drive)
        fidx = xpath_[2] == '\\' ? 3 : 2; // the drive letter is never compared
    } else {
      drive = e.drive;
      (void)mk_path_str(drive, dh.path.get());
    }

    if (xpath_) {
      const char *f = xpath_ + fidx;
      size_t fl = std::strlen(f);
      if (fl == 0 || std::strncmp(reinterpret_cast<const char *>(buf), f, fl) != 0)
        return xstep::skip;
    }

    time_t t = ent_time1(dh.unknw1);
    int r = do_extract(fp_, dh.nm1.get(), e.flen, cats_, &t, ent_attrib(dh.unknw1), drive,
                       dh.path.get());
    if (r == XTRACT_REFUSED)
      return xstep::skip;
    if (r != XTRACT_OK) {
      out("\nfatal error in do_extract(), abort");
      return xstep::failed;
    }
    out("\nfile extracted successfully");
    nx_++;
    if (maxx_ > 0 && nx_ == maxx_) {
      out("\n%d files extracted, clearing XTRACT mode", nx_);
      mode_ = static_cast<uint16_t>(mode_ & ~MODE_XTRACT);
    }
    return xstep::consumed;
  }

  int fp_;
  uint16_t mode_; // own copy: extraction can end part-way through the walk
  bool save_;
  int64_t cats_;
  const char *xpath_;
  int32_t maxx_;
  std::unique_ptr<dir_list> *link_;
  int nx_ = 0;
};

} // namespace

int parse_ucomp(int fp, uint16_t mode, int64_t soff, int64_t cats,
                std::unique_ptr<dir_list> *ptrl, const char *xpath, int32_t maxx,
                int32_t /*dbcnt*/) {
  if (!seek_to(fp, soff)) {
    out("\nfailed to seek to 0x%x for start of data", static_cast<unsigned>(x32(soff)));
    return -1;
  }
  out("\nBackup File listing:");

  classic_listing lister(fp, mode, cats, xpath, maxx, ptrl);
  walk_result r = walk_entries(fp, walk_rules{}, lister);
  if (lister.nx() > 0)
    out("\n%d files extracted", lister.nx());
  const int code = classic_code(r.end);
  if (code == 1)
    out("\nappears to be EOF for uncompressed archive data at 0x%lx\n", x32(r.off));
  if (code == 0 || code == 1)
    return r.cnt;
  if (code == -1 || code == -2 || code == -3)
    out(" following offset 0x%lx", x32(r.off));
  return code;
}

} // namespace cartsift
