// The volume table record and its printed form.
#include <cctype>
#include <cstring>

#include "image/image.h"

namespace cartsift {

const char *const flagbits[6] = {
    "Vendor specific volume",
    "Volume spans multiple cartidges",
    "File sets written without verification",
    "Reserved (should not occur)",
    "Compressed data segment spaning",
    "File Set Directory follow data section",
};

const char *const OStype[8] = {
    "Extended", "DOS Basic",  "Unix",         "OS/2",
    "Novell Netware", "Windows NT", "DOS Extended", "Windows 95",
};

std::unique_ptr<qic_vtbl> get_vtbl(int fp) {
  auto vt = std::make_unique<qic_vtbl>();
  uint8_t raw[sizeof(qic_vtbl)];
  if (img_seek(fp, VTBL_OFFSET, SEEK_SET) != VTBL_OFFSET ||
      img_read(fp, raw, sizeof raw) != int64_t(sizeof raw)) {
    out("\nfailed to read VTBL header");
    return nullptr;
  }
  std::memcpy(vt.get(), raw, sizeof raw);
  static const char tag[] = "vtbl";
  for (int i = 0; i < 4; i++) {
    if (std::tolower(static_cast<unsigned char>(raw[i])) != tag[i]) {
      out("\nmissing 'VTBL' tag, invalid record at offset 0x%lx ", x32(VTBL_OFFSET));
      return nullptr;
    }
  }
  return vt;
}

void disp_datetime(uint32_t dt) { out("%s", ctime32(dt).s); }

void disp_vtbl(const qic_vtbl &vt) {
  // Packed fields are copied out by value before use.
  const uint32_t nseg = vt.nseg, date = vt.date, dirsz = vt.dirSz;
  const uint32_t start = vt.start, end = vt.end;
  const uint16_t rmaj = vt.rev_major, rmin = vt.rev_minor;
  const int64_t datasz = vt.dataSz;
  char desc[44];
  std::memcpy(desc, vt.desc, sizeof desc);

  out("\nLabel: %.44s  \nVTBL volume contains %lu logical segments", desc,
      static_cast<unsigned long>(nseg));
  out("\ncreated: ");
  disp_datetime(date);
  out("\nflag 0x%x:", vt.flag);
  for (int bit = 0; bit < 6; bit++) {
    if (vt.flag & (1u << bit)) {
      out("\n%s", flagbits[bit]);
      if (bit == 1)
        out("   sequence #: %d: ", vt.seq);
    }
  }
  if (vt.flag & 0x01) // vendor specific: the rest has no agreed meaning
    return;
  out("\nversion: %0x:%0x", rmaj, rmin);
  out("\ndir size 0x%lx data size 0x%llx", static_cast<unsigned long>(dirsz),
      static_cast<unsigned long long>(datasz));
  out("\nQFA physical start block 0x%lx end block 0x%lx", static_cast<unsigned long>(start),
      static_cast<unsigned long>(end));
  out("\ncompression byte 0x%x", vt.comp);
  if (vt.comp & 0x80)
    out("\nCompression used, type 0x%x", vt.comp & 0x3F);
  if (vt.OStype < 8)
    out("\nOS type: d => %s", OStype[vt.OStype]);
}

} // namespace cartsift
