// File header 0/1 and the job and disk numbers of its text.
#include <cstring>

#include "image/image.h"

namespace cartsift {

std::unique_ptr<fheader> get_fheader(int fp, int ndx, uint16_t /*mode*/) {
  if (ndx != 0 && ndx != 1) {
    out("\ninvalid ndx, must be 0 or 1");
    return nullptr;
  }
  int64_t at = ndx == 0 ? 0 : BLOCK_SIZE;
  if (!seek_to(fp, at)) {
    out("\nfailed to seek to file header at 0x%lx", x32(at));
    return nullptr;
  }
  auto hdr = std::make_unique<fheader>();
  int64_t n = img_read(fp, hdr->data(), HDR_SIZE);
  if (n != int64_t(HDR_SIZE)) {
    out("\nonly read 0x%x bytes of 0x%x byte header", unsigned(n), unsigned(HDR_SIZE));
    return nullptr;
  }
  uint32_t sig = le32(hdr->data());
  if (sig != HDR_SIG) {
    out("\ninvalid header signature 0x%lx != 0xAA55AA55", static_cast<unsigned long>(sig));
    return nullptr;
  }
  return hdr;
}

namespace {

// A decimal integer as the C conversion reads one: leading white space, an
// optional sign, at least one digit. The text is bounded by the header, so a
// number is never read past its last byte.
bool read_dec(const fheader &h, size_t at, uint16_t *v) {
  size_t i = at;
  while (i < h.size() && (h[i] == ' ' || (h[i] >= '\t' && h[i] <= '\r')))
    i++;
  bool neg = false;
  if (i < h.size() && (h[i] == '+' || h[i] == '-'))
    neg = h[i++] == '-';
  if (i >= h.size() || h[i] < '0' || h[i] > '9')
    return false;
  uint32_t val = 0;
  while (i < h.size() && h[i] >= '0' && h[i] <= '9')
    val = val * 10 + uint32_t(h[i++] - '0');
  if (neg)
    val = 0u - val;
  *v = static_cast<uint16_t>(val);
  return true;
}

} // namespace

int get_fhead_sdata(const fheader &hdr, uint16_t *job, uint16_t *disk) {
  *job = 0;
  *disk = 0;
  int cnt = 0;
  if (read_dec(hdr, 40, job))
    cnt++;
  for (size_t c = 40; c <= 46; c++) {
    if (hdr[c] == ',') {
      if (read_dec(hdr, c + 6, disk))
        cnt++;
      break;
    }
  }
  return cnt;
}

} // namespace cartsift
