// The catalog listing, optionally mapping each entry to its directory entry
// and file data in the data region.
#include "walks/walks.h"

namespace cartsift {

int parse_cat(int fp, uint16_t mode, std::unique_ptr<cat_list> *ptrl, int64_t off,
              int64_t doff) {
  // The data offset is only checked here, never read.
  if (doff >= 0 && !seek_to(fp, doff)) {
    out("\nfailed to seek to 0x%lx for start of data section", x32(doff));
    return -1;
  }
  if (!seek_to(fp, off)) {
    out("\nfailed to seek to 0x%lx for start of catalog", x32(off));
    return -1;
  }
  out("\nCatalog listing:");

  int cnt = 0;
  int r;
  cat_reader cat(fp);
  std::unique_ptr<cat_list> *link = ptrl;
  for (;;) {
    cat_head *ch = cat.next();
    r = cat.code();
    if (ch == nullptr)
      break;
    const uint8_t *u1 = ch->unknw1;
    const uint32_t flen = ent_flen(u1);
    cnt++;
    out("\n%3d: Directory entry at offset 0x%lx  length 0x%lx  attrib 0x%x", cnt, x32(off),
        static_cast<unsigned long>(flen), ent_attrib(u1));
    out("\n      ");
    disp_uni_str(*ch->nm1);
    for (int pad = 50 - ch->nm1->len / 2; pad > 0; pad--)
      out_char(' ');
    out("%s", ctime32(ent_time1(u1)).s);
    if (doff >= 0) {
      out("    data region at 0x%lx", x32(doff));
      // The directory entry is the catalog entry framed by DIR_SIG in front
      // and the path and closing block behind.
      doff += r + 4 + ent_plen(u1) + 6;
      out("   file data at 0x%lx\n", x32(doff));
      doff += int64_t(flen) + 18;
    }
    if ((mode & MODE_TESTS) && link) {
      auto node = std::make_unique<cat_list>();
      node->cnt = cnt;
      node->off = off;
      node->chead = std::move(*ch);
      *link = std::move(node);
      link = &(*link)->next;
    }
    off += r;
    int64_t p = img_seek(fp, 0, SEEK_CUR);
    if (p != off) {
      out("\nabort offset error %lx != %lx", x32(off), x32(p));
      r = -4;
      break;
    }
  }
  if (r == 1)
    out("\nappears to be end of Catalog with an empty name string at 0x%lx\n", x32(off));
  return (r == 1 || r == 0) ? cnt : r;
}

} // namespace cartsift
