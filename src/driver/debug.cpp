// The raw-data and survey commands: -dd<offset> walks the data region from
// an offset (a negative one searches for the first entry), -di surveys.

#include "driver/driver.h"
#include "driver/numbers.h"

namespace cartsift {

int do_debug(int fp, uint16_t mode, const fheader *hdr, const qic_vtbl *vtbl,
             int64_t cats, int32_t maxx, const char *xpath, int argc, char **argv) {
  int ret = 0;
  std::unique_ptr<dir_list> ptrl; // saved entries die with the run
  for (int i = 1; (vtbl == nullptr || vtbl->comp == 0) && i < argc && ret == 0; i++) {
    const char *a = argv[i];
    if (starts_with_ci(a, "-dd")) {
      int64_t off = -1;
      long long dec;
      // The decimal reading only detects the minus sign: any negative value
      // means "search from the start of the data region".
      if (scan_dec(a + 3, &dec) && dec < 0) {
        off = fnd_sig(fp, DATA_START, DIR_SIG);
        if (off < 0)
          out("\ndid not find a valid DIR_SIG in image file");
        else
          out("\nfound 1st directory entry at offset 0x%lx", x32(off));
      }
      int64_t hex;
      bool have = off > 0;
      if (!have && scan_hex(a + 3, &hex)) {
        off = hex;
        have = true;
      }
      if (have) {
        int r = parse_ucomp(fp, mode, off, cats, &ptrl, xpath, maxx, 0);
        out("\nparse_ucomp() at offset 0x%lx returned %d", x32(off), r);
      } else {
        out("\nfailed to parse offset in %s, cmd ignored", a);
      }
      ret = 1;
    } else if (starts_with_ci(a, "-di")) {
      (void)parse_image(fp, mode, hdr, vtbl);
      ret = 1;
    }
  }
  return ret;
}

} // namespace cartsift
