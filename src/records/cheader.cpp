// Catalog entries.
#include "records/records.h"

namespace cartsift {

void free_chead(cat_head *ch) {
  ch->nm1.reset();
  ch->nm2.reset();
  ch->nm3.reset();
}

namespace {

// The entry's fields in order; *read counts the names read so far.
int read_entry(int fp, cat_head *ch, int *read) {
  if (img_read(fp, ch->unknw1, sizeof ch->unknw1) != int64_t(sizeof ch->unknw1)) {
    out("\nread error");
    return CH_SHORT;
  }
  if (!read_unistr(fp, ch->nm1))
    return CH_NAME;
  *read = 1;
  if (ch->nm1->len == 0)
    return CH_END;
  if (img_read(fp, ch->unknw2, sizeof ch->unknw2) != int64_t(sizeof ch->unknw2))
    return CH_SHORT;
  if (!read_unistr(fp, ch->nm2)) {
    *read = 0;
    return CH_NAME;
  }
  *read = 2;
  if (img_read(fp, ch->unknw3, sizeof ch->unknw3) != int64_t(sizeof ch->unknw3))
    return CH_SHORT;

  // Some writers put the tag a few bytes late; the bytes before it then
  // belong to this entry and are skipped.
  static const char tag[] = "oimg";
  int pad = 0;
  for (; pad < 12; pad++) {
    int i = 0;
    while (i < 4 && ascii_lower(ch->unknw3[12 + pad + i]) == tag[i])
      i++;
    if (i == 4)
      break;
  }
  if (pad > 0) {
    int64_t c = img_seek(fp, 0, SEEK_CUR);
    if (c < 0) {
      out("\nreached EOF in get_cheader");
      return 0;
    }
    if (pad == 12) {
      out("\nabort in get_cheader() could not find string 'OIMG' @0x%lx\n", x32(c - 16));
      return CH_NOTAG;
    }
    uint8_t skip[12];
    if (img_read(fp, skip, size_t(pad)) != pad) {
      out("fatal read error padding unknwn3 @ 0x%lx", x32(c - 28));
      return CH_NOTAG;
    }
    out("Warning had to skip %d bytes to find 'OIMG' in unknw3[] @0x%lx\n", pad, x32(c - 28));
  }
  if (!read_unistr(fp, ch->nm3)) {
    *read = 0;
    return CH_NAME;
  }
  *read = 3;
  return 124 + pad + ch->nm1->len + ch->nm2->len + ch->nm3->len;
}

} // namespace

// The names are read into the buffers the last entry left; those the entry
// does not reach, or that a failed name takes with it, are dropped.
int get_cheader(int fp, cat_head *ch) {
  int read = 0;
  const int r = read_entry(fp, ch, &read);
  uni_ptr *names[3] = {&ch->nm1, &ch->nm2, &ch->nm3};
  for (int i = read; i < 3; i++)
    names[i]->reset();
  return r;
}

} // namespace cartsift
