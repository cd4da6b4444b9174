// The survey of a whole image: its backups with their counts, and each
// backup's catalog found at the next block boundary.
#include "walks/walks.h"

namespace cartsift {

int parse_image(int fp, uint16_t mode, const fheader * /*hdr*/, const qic_vtbl *vtbl) {
  if (vtbl && vtbl->comp != 0) {
    out("\nthis is a compressed file, can not be analysed with parse_image");
    return -1;
  }
  const int64_t eof = img_seek(fp, 0, SEEK_END);
  if (eof < 0) {
    out("\nabort, unable to determin EOF");
    return -1;
  }
  out("\neof for this image at 0x%lx", x32(eof));
  out("\n\nImage data:");
  if (vtbl && (vtbl->flag & 0x02))
    out("\nWarning this image is seq %d in a multi disk backup set", vtbl->seq);

  int64_t off = fnd_sig(fp, DATA_START, DIR_SIG);
  if (off != DATA_START) {
    if (off < 0) {
      out("\nAbort, no DIR_SEG found in file!");
      return -2;
    }
    out("\nWarning image data at 0x15c00 does not start with a DIR_SIG, skip ahead to 0x%lx",
        x32(off));
  }

  int64_t coff = 0, doff = 0, eod = 0, catoff = -1;
  bool flag = false;
  int bcnt = 0, cnt = 0, dcnt = 0, fcnt = 0, missing = 0;
  int ret = 0;
  dir_head dh;

  while (ret == 0 && !flag && off > 0) {
    coff = img_seek(fp, off, SEEK_SET);
    if (coff != off)
      break;
    const dh_code r = get_dheader(fp, &dh);
    if (r == DH_END) {
      out("\nvalid eof seen in get_dheader() at 0x%lx", x32(off));
      break;
    }
    if (r != DH_OK) {
      bcnt++;
      out("\nfatal read error in get_dheader() at 0x%lx", x32(off));
      ret = r;
      break;
    }
    const uint8_t pflg = ent_pflg(dh.unknw1);
    const uint8_t attrib = ent_attrib(dh.unknw1);
    const int64_t flen = ent_flen(dh.unknw1);

    if (++cnt == 1) {
      out("\n\nBackup %d data starts at offset 0x%lx", bcnt + 1, x32(coff));
      doff = coff;
      if (pflg & PF_NEW)
        out("\nPF_NEW flag seen in 1st record, probably the start of a new Backup");
    }
    if (attrib & 0x10)
      dcnt++;
    else if (!(attrib & 0x08))
      fcnt++;

    coff = get_cur_pos(fp);
    // Held in 64 bits, so a length near 2^32 runs past the end rather than
    // wrapping around to somewhere inside the image.
    if (coff + flen + 18 >= eof) {
      out("\nReached EOF, some file data for entry %d is continued on next disk image", cnt);
      catoff = -1;
      flag = true;
    } else {
      int64_t np = img_seek(fp, flen + 18, SEEK_CUR);
      if (np < 0) {
        out("\nerror skipping over file data");
        ret = -3;
        break;
      }
      coff = np;
      catoff = cat_after(coff);
      if (catoff >= eof)
        catoff = -1;
    }

    if (pflg & PF_END) {
      eod = coff;
      out("\nSaw PF_END flag in entry %d at offset 0x%lx, a catalog should follow", cnt,
          x32(eod));
      if (catoff > 0)
        out(" at 0x%lx", x32(catoff));
      else
        out(" but its after EOF");
    }

    if ((pflg & PF_END) || flag) {
      bcnt++;
      out("\nBackup %d saw %d dir_head entries containing %d subdir %d files", bcnt, cnt, dcnt,
          fcnt);
      cnt = dcnt = fcnt = missing = 0;
      if (catoff > 0) {
        if (!seek_to(fp, catoff)) {
          out("\nfailed to seek to 0x%lx for catalog listing", x32(catoff));
          ret = -4;
        } else {
          cat_reader cat(fp);
          while (const cat_head *ch = cat.next()) {
            // Where this record's file data ends in the data region.
            doff += cat.code() + 10 + ent_plen(ch->unknw1) + int64_t(ent_flen(ch->unknw1));
            if (doff > eod)
              missing++;
            doff += 18;
          }
          if (cat.code() == 0)
            out("\nWarning this is a partial catalog listing, terminated by EOF");
          out("\ncatalog starting at offset 0x%lx contains %d records", x32(catoff),
              int(cat.count()));
          if (missing > 0)
            out("\n - Warning %d are not in this image", missing);
        }
      }
      coff = get_cur_pos(fp);
    }

    free_dhead(&dh);
    if (ret == -4)
      break;

    uint8_t sb[4];
    if (img_read(fp, sb, 4) < 4) {
      ret = -3;
      break;
    }
    const uint32_t sig = le32(sb);
    if (sig == DIR_SIG) {
      off = coff;
      continue;
    }
    off = fnd_sig(fp, coff, DIR_SIG);
    if (off > 0 && off > coff) {
      if (mode & MODE_VERBOSE)
        out("\n%3d: found DIR_SIG 0x%lx bytes after expected!, skip ahead at offset 0x%lx", cnt,
            x32(off - coff), x32(coff));
      coff = off;
    } else if (sig == 0) {
      off = coff;
      ret = 1;
    }
  }

  if (ret != 1)
    out("\nret = %d  during Backup %d", ret, bcnt);
  return (ret == 0 || ret == 1) ? cnt : ret;
}

} // namespace cartsift
