// The data-region walk: lists every directory entry, keeps track of the
// backed-up drive, extracts in extract mode, checks trailers and
// resynchronises on the next DIR_SIG.
#include <cstring>

#include "walks/walks.h"

namespace cartsift {

namespace {

struct walk_state {
  int fp = -1;
  uint16_t mode = 0; // own copy: extraction can end part-way through the walk
  int64_t cats = -1;
  const char *xpath = nullptr;
  int32_t maxx = 0;
  int nx = 0;
  uni_ptr drv[MAX_DRV];
  uint8_t ndrv = 0;
  uint8_t cdrv = 0;
};

enum class xstep { consumed, skip, failed };

// Offers one file to extraction: builds its path, applies the -p filter and
// writes it when selected.
xstep extract_step(walk_state &w, const dir_head &dh) {
  size_t fidx = 0;
  const uni_str *drive = nullptr;
  const bool filter_has_drive = w.xpath && w.xpath[0] != '\0' && w.xpath[1] == ':';
  if (w.ndrv == 0 || filter_has_drive) {
    (void)mk_path_str(nullptr, dh.path.get());
    if (filter_has_drive)
      fidx = w.xpath[2] == '\\' ? 3 : 2; // the drive letter is never compared
  } else {
    drive = w.drv[w.cdrv].get();
    (void)mk_path_str(drive, dh.path.get());
  }

  if (w.xpath) {
    const char *f = w.xpath + fidx;
    size_t fl = std::strlen(f);
    if (fl == 0 || std::strncmp(reinterpret_cast<const char *>(buf), f, fl) != 0)
      return xstep::skip;
  }

  time_t t = ent_time1(dh.unknw1);
  int r = do_extract(w.fp, dh.nm1.get(), ent_flen(dh.unknw1), w.cats, &t,
                     ent_attrib(dh.unknw1), drive, dh.path.get());
  if (r == XTRACT_REFUSED)
    return xstep::skip;
  if (r != XTRACT_OK) {
    out("\nfatal error in do_extract(), abort");
    return xstep::failed;
  }
  out("\nfile extracted successfully");
  w.nx++;
  if (w.maxx > 0 && w.nx == w.maxx) {
    out("\n%d files extracted, clearing XTRACT mode", w.nx);
    w.mode = static_cast<uint16_t>(w.mode & ~MODE_XTRACT);
  }
  return xstep::consumed;
}


} // namespace

int parse_ucomp(int fp, uint16_t mode, int64_t soff, int64_t cats,
                std::unique_ptr<dir_list> *ptrl, const char *xpath, int32_t maxx,
                int32_t /*dbcnt*/) {
  if (!seek_to(fp, soff)) {
    out("\nfailed to seek to 0x%x for start of data", static_cast<unsigned>(x32(soff)));
    return -1;
  }
  out("\nBackup File listing:");

  walk_state w;
  w.fp = fp;
  w.mode = mode;
  w.cats = cats;
  w.xpath = xpath;
  w.maxx = maxx;
  const bool verb = mode & MODE_VERBOSE;
  const bool vverb = mode & MODE_VVERBOSE;
  uint8_t lrflg = 0;
  int cnt = 0;
  int ret = -1;
  int64_t off = soff;
  dir_head dh;
  std::unique_ptr<dir_list> *link = ptrl;

  for (;;) {
    int64_t pos = img_seek(fp, 0, SEEK_CUR);
    if (pos < 0)
      break;
    off = pos;
    int r = get_dheader(fp, &dh);
    if (r != 0) {
      ret = r;
      break;
    }
    ret = 0;
    const uint8_t *u1 = dh.unknw1;
    const uint32_t flen = ent_flen(u1);
    const uint16_t plen = ent_plen(u1);
    const uint8_t pflg = ent_pflg(u1);

    cnt++;
    out("\n%3d: Directory entry at offset 0x%lx  length 0x%lx  attrib 0x%x", cnt, x32(off),
        static_cast<unsigned long>(flen), ent_attrib(u1));
    if (vverb) {
      out("\nunknw1[0] 0x%x unknw1[2-3] 0x%04x unknw1[4] 0x%x unknw1[55-56] 0x%04x", u1[0],
          le16(u1 + 2), u1[4], le16(u1 + 55));
      out("\nunknw1[63-64] 0x%04x  unknw1[67-68] 0x%04x", le16(u1 + 63), le16(u1 + 67));
    }
    if (verb) {
      out("\n     path len 0x%x path flag  0x%x", plen & 0xFF, pflg);
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
      if (w.ndrv > 0) {
        disp_uni_str(*w.drv[w.cdrv]);
        out("\\");
      }
      disp_uni_path(*dh.path);
    }

    bool skip = flen > 0;
    if (flen > 0 && (w.mode & MODE_XTRACT)) {
      xstep x = extract_step(w, dh);
      if (x == xstep::failed) {
        ret = -3;
        break;
      }
      skip = x == xstep::skip;
    }
    if (skip && img_seek(fp, flen, SEEK_CUR) < 0) {
      out("\nerror skipping over file data");
      ret = -3;
      break;
    }

    if (pflg & PF_DRIVE) {
      if (pflg & PF_NEW) {
        if (w.ndrv < MAX_DRV) {
          w.drv[w.ndrv++] = dup_uni_str(*dh.nm1);
        } else {
          w.drv[MAX_DRV - 1] = dup_uni_str(*dh.nm1);
          out("\nWarning need larger MAX_DRV, over writing drv[%d]", MAX_DRV - 1);
        }
      }
      if (pflg & PF_LAST) {
        out("\n\nlast drive spec for a total of %d drives, starting on drive ", w.ndrv);
        if (w.ndrv > 0)
          disp_uni_str(*w.drv[w.cdrv]);
        else
          out("?");
        out("\n");
      }
    } else if (plen == 4) { // root level: a PF_LAST before means the next drive
      if (lrflg & PF_LAST) {
        if (int(w.cdrv) < int(w.ndrv) - 1) {
          w.cdrv++;
          out("\nincrement drive to ");
          disp_uni_str(*w.drv[w.cdrv]);
        } else {
          out("\ndrive logic error lrflg == PF_LAST, but on last drive");
        }
      }
      lrflg = pflg;
    }

    if (pflg & PF_END) {
      out("\nTerminate: saw PF_END flag in this record");
      ret = 0;
      break;
    }

    int64_t n = img_read(fp, buf, 18);
    if (n < 18 || le32(buf) != FILE_SIG) {
      int64_t at = img_seek(fp, 0, SEEK_CUR);
      out("\nfailed to read valid trailer, bytes read below end at offset 0x%lx:\n", x32(at));
      for (int64_t i = 0; i < n; i++)
        out("0x%02x ", buf[i]);
      out("\n");
      ret = -4;
      break;
    }

    // Entries are packed byte to byte; anything else before the next
    // signature is a gap to step over, never a reason to go back.
    int64_t expected = img_seek(fp, 0, SEEK_CUR);
    int64_t next = expected;
    int64_t found = fnd_sig(fp, expected, DIR_SIG);
    if (found > 0 && found > expected) {
      if (verb)
        out("\nfound DIR_SIG 0x%lx bytes after expected!, skip ahead at offset 0x%lx",
            x32(found - expected), x32(expected));
      next = found;
    }
    if (expected < 0 || !seek_to(fp, next)) {
      out("\nerror adjusting file position to next DIR_SIG in parse_ucomp()");
      ret = -5;
      break;
    }

    if ((mode & MODE_TESTS) && link) {
      auto node = std::make_unique<dir_list>();
      node->cnt = cnt;
      node->off = off;
      node->dhead = std::move(dh);
      *link = std::move(node);
      link = &(*link)->next;
    } else {
      free_dhead(&dh);
    }
    out("\n");
  }

  free_dhead(&dh);
  if (w.nx > 0)
    out("\n%d files extracted", w.nx);
  if (ret == 1)
    out("\nappears to be EOF for uncompressed archive data at 0x%lx\n", x32(off));
  if (ret == 0 || ret == 1)
    return cnt;
  if (ret == -1 || ret == -2 || ret == -3)
    out(" following offset 0x%lx", x32(off));
  return ret;
}

} // namespace cartsift
