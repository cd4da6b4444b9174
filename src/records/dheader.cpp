// Directory entries of the data region.
#include <cstring>

#include "records/records.h"

namespace cartsift {

namespace {

bool has_tag(const uint8_t *p) { return ascii_lower(p[0]) == 'o' && ascii_lower(p[1]) == 'i' &&
                                          ascii_lower(p[2]) == 'm' && ascii_lower(p[3]) == 'g'; }

} // namespace

void free_dhead(dir_head *dh) {
  dh->nm1.reset();
  dh->nm2.reset();
  dh->nm3.reset();
  dh->path.reset();
}

dh_code get_dheader(int fp, dir_head *dh) {
  // The names are read into the buffers the last entry left.
  dh_code code = DH_OK;

  // A short read leaves the bytes it did get in the record, as reading
  // straight into it would; the later steps judge what the record holds.
  uint8_t head[73];
  int64_t n = img_read(fp, head, sizeof head);
  if (n > 0) {
    uint8_t whole[73];
    std::memcpy(whole, &dh->dsig, 4);
    std::memcpy(whole + 4, dh->unknw1, 69);
    std::memcpy(whole, head, size_t(n));
    std::memcpy(&dh->dsig, whole, 4);
    std::memcpy(dh->unknw1, whole + 4, 69);
  }
  if (n == int64_t(sizeof head) && dh->dsig == 0) {
    free_dhead(dh);
    return DH_END;
  }
  if (n != int64_t(sizeof head) || dh->dsig != DIR_SIG) {
    out("\ninvalid header");
    code = DH_SHORT;
  } else {
    do {
      if (!read_unistr(fp, dh->nm1)) {
        code = DH_NAME;
        break;
      }
      if (img_read(fp, dh->unknw2, sizeof dh->unknw2) != int64_t(sizeof dh->unknw2)) {
        code = DH_SHORT;
        break;
      }
      if (!read_unistr(fp, dh->nm2)) {
        code = DH_NAME;
        break;
      }
      if (img_read(fp, dh->unknw3, sizeof dh->unknw3) != int64_t(sizeof dh->unknw3)) {
        code = DH_SHORT;
        break;
      }
      if (!read_unistr(fp, dh->nm3)) {
        code = DH_NAME;
        break;
      }
      if (img_read(fp, buf, 2) != 2)
        code = DH_SHORT;
    } while (false);
  }

  if (!has_tag(dh->unknw3 + 12))
    out("\nwarning 'OIMG' not found in dheader");

  // The path has no length word of its own: plen counts it, plus 4.
  uint16_t plen = ent_plen(dh->unknw1);
  if (plen > 4) {
    const auto len = static_cast<uint16_t>(plen - 4);
    if (img_read(fp, uni_fit(dh->path, len), len) != len)
      code = DH_SHORT;
  } else {
    dh->path.reset();
  }

  if (code == DH_OK) {
    if (img_read(fp, buf, 8) != 8)
      code = DH_SHORT;
    else if (le32(buf + 2) != FILE_SIG) {
      out("\nfailed to find FILE signature 0x66996699 at end of header");
      code = DH_NOCLOSE;
    }
  }

  if (code != DH_OK) {
    free_dhead(dh);
    if (code == DH_SHORT)
      out("\nread error in get_dheader()");
    else if (code == DH_NAME)
      out("\n read or allocation error in get_unistr() for get_dheader()");
  }
  return code;
}

} // namespace cartsift
