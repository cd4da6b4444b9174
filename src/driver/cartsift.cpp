// The driver: banner, option scan, volume summary and run dispatch.

#include <cstring>
#include <new>

#include "driver/driver.h"
#include "driver/numbers.h"

#ifndef CARTSIFT_VERSION
#define CARTSIFT_VERSION "0.98"
#endif
#ifndef CARTSIFT_TARGET
#define CARTSIFT_TARGET "WIN32"
#endif

namespace cartsift {

namespace {

bool is_opt(const char *a, const char *prefix) {
  return starts_with_ci(a, prefix);
}

void usage() {
  out("\nusage: cartsift <input file> [-c[#[:#]]] [-d] [-f] [-p<path>] [-v[v]] [-t] [-x]\n%s\n",
      "attempts to summarize or extract backup file contents");
  out("\noptional -c[cat_off[:data_off]] display catalog from uncompressed file");
  out("\n      use cat_off if multiple catalogs and/or ':data_off' to map to data region");
  out("\noptional -f temporarily force compression & seq  flag to 0");
  out("\noptional -p set xtract <path>, so only extract files at or below <path>");
  out("\noptional -t save dir_list and run tests");
  out("\noptional -v set verbose mode to display more fields");
  out("\noptional -vv set very verbose display independently from -v");
  out("\noptional -x[#] set xtract flag, => all files unless set -p or max extract #");
  out("\nDEBUG options enabled");
  out("\n -dd<hex offset>  - attempt raw data listing or extraction starting at offset");
  out("\n -di  - scan raw dir_head and cat_head entries and summarize image data");
  out("\n");
}

// Run parameters set by the option scan.
struct run_params {
  uint16_t mode = 0;
  uint8_t tstn = 1;
  int32_t dbcnt = 0;
  int32_t maxx = 0;
  const char *xpath = nullptr;
  int64_t cats = -1;
  int64_t doff = -1;
  int manual = 0;
};

// -c[cat_off[:data_off]]
void read_cat_opt(const char *a, run_params &p) {
  if (std::strlen(a) <= 2)
    return;
  const char *colon = std::strchr(a + 2, ':');
  if (colon) {
    int64_t d;
    p.doff = scan_hex(colon + 1, &d) ? d : -1;
  }
  const char *endp = colon ? colon : a + std::strlen(a);
  if (endp > a + 2) {
    int64_t c;
    if (scan_hex(a + 2, &c)) {
      p.cats = c;
      p.manual = 1;
    } else {
      p.manual = 0;
    }
  } else {
    p.manual = 0;
  }
}

int standalone(int pos, int argc, char **argv, const run_params &p) {
  img_handle fp(img_open(argv[1]));
  if (fp.get() < 0) {
    out("open failed source file %s\n", argv[1]);
    return pos;
  }
  int r = do_debug(fp.get(), p.mode, nullptr, nullptr, p.cats, p.maxx, p.xpath, argc, argv);
  out("\ndisplay raw file data called as stand alone routine\n\n");
  return r;
}

int run(int argc, char **argv) {
  // Given alone, these two are requests, not image names.
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    out("cartsift version %s\n", CARTSIFT_VERSION);
    return 0;
  }
  const bool help = argc == 2 && std::strcmp(argv[1], "--help") == 0;

  out("\ncartsift version %s compiled for %s ", CARTSIFT_VERSION, CARTSIFT_TARGET);
  out("\n");
  if (help) {
    usage();
    return 0;
  }

  run_params p;
  for (int i = 2; i < argc; i++) {
    const char *a = argv[i];
    if (is_opt(a, "-vv")) {
      p.mode |= MODE_VVERBOSE;
    } else if (is_opt(a, "-v")) {
      p.mode |= MODE_VERBOSE;
    } else if (is_opt(a, "-t")) {
      p.mode |= MODE_TESTS;
      if (a[2] != '\0')
        p.tstn = static_cast<uint8_t>(static_cast<unsigned char>(a[2]) - '0');
    } else if (is_opt(a, "-h")) {
      int32_t v;
      if (std::strlen(a) > 2 && scan_int(a + 2, &v)) {
        p.dbcnt = v;
        out("\ndbcnt set to %d", p.dbcnt);
      }
    } else if (is_opt(a, "-c")) {
      p.mode |= MODE_CATALOG;
      read_cat_opt(a, p);
    } else if (is_opt(a, "-x")) {
      p.mode |= MODE_XTRACT;
      int32_t v;
      if (std::strlen(a) > 2 && scan_int(a + 2, &v) && v > 0) {
        p.maxx = v;
        out("\nlimiting file extraction to %d files", p.maxx);
      } else {
        p.maxx = -1;
      }
    } else if (is_opt(a, "-f")) {
      p.mode |= MODE_FORCE;
    } else if (is_opt(a, "-p")) {
      p.xpath = a + 2;
    } else if (is_opt(a, "-dc") || is_opt(a, "-dd")) {
      int64_t v;
      if (scan_hex(a + 3, &v) && v == 0)
        return standalone(i, argc, argv, p);
    }
  }

  if (argc < 2) {
    usage();
    return 0;
  }

  int ret = 0;
  out("\n using:file %s", argv[1]);
  img_handle fp(img_open(argv[1]));
  std::unique_ptr<fheader> hdr;
  std::unique_ptr<qic_vtbl> vtbl;
  std::unique_ptr<dir_list> dlist;
  std::unique_ptr<cat_list> clist;

  if (fp.get() < 0) {
    out("open failed\n");
    ret = -1;
  } else if (!(hdr = get_fheader(fp.get(), 0, p.mode))) {
    out("\nget_fheader() failed");
    ret = -2;
  } else if (!(vtbl = get_vtbl(fp.get()))) {
    out("\nget_vtbl() failed");
    ret = -3;
  } else {
    disp_vtbl(*vtbl);
    out("\n");

    const uint32_t nblk = hdr_nblk(*hdr);
    const auto dblk = static_cast<int32_t>(cat_blocks(vtbl->dirSz));
    const int64_t computed = cat_offset(*hdr, *vtbl);
    out("\ntotal block count %ld - %d dir blocks => catalog at offset 0x%lx", l32(nblk), dblk,
        x32(computed));
    if (p.manual)
      out("\n   however catalog offset set manually via -c# to 0x%lx", x32(p.cats));
    else
      p.cats = computed;

    const int64_t size = img_seek(fp.get(), 0, SEEK_END);
    if (size > 0) {
      out("\noffset to end of file = 0x%lx => %ld blocks", x32(size), l32(size / BLOCK_SIZE));
      if (p.cats > size)
        out(" - Warning catalog after EOF");
    }

    uint16_t job, disk;
    if (get_fhead_sdata(*hdr, &job, &disk) == 2)
      out("\nJob %d, Disk %d", job, disk);
  }

  if (ret == 0 || (p.mode & MODE_FORCE)) {
    int r = do_debug(fp.get(), p.mode, hdr.get(), vtbl.get(), p.cats, p.maxx, p.xpath, argc,
                     argv);
    if (r != 0) {
      out("\ndebug routine called and terminated execution\n\n");
      return r;
    }
  }
  if (ret != 0) {
    out("\n");
    return ret;
  }

  // Run dispatch.
  const uint16_t refused = MODE_CATALOG | MODE_TESTS | MODE_XTRACT;
  if (vtbl->comp != 0 && (p.mode & refused)) {
    out("\nthis is a compressed volume, it must be decompressed before attempting current "
        "options\n");
    return 0;
  }

  if (!(p.mode & MODE_FORCE) && (vtbl->flag & 0x02) && vtbl->seq > 1) {
    out("\n%s and is sequence # %d", flagbits[1], vtbl->seq);
    out("\npress 'q' to quit");
    out("\nany other key to attempt a raw search from beginning for files in this image file");
    int c = in_char();
    if (c == 'q' || c == 'Q')
      return 0;
    int64_t off = -1;
    if (img_seek(fp.get(), DATA_START, SEEK_SET) == DATA_START)
      off = fnd_sig(fp.get(), DATA_START, DIR_SIG);
    if (off > 0) {
      out("\nfound signature 0x%lx at offset 0x%lx as next file in data region",
          static_cast<unsigned long>(DIR_SIG), x32(off));
      out("\nat least one file will be skipped with this method");
      ret = parse_ucomp(fp.get(), p.mode, off, p.cats, &dlist, p.xpath, p.maxx, p.dbcnt);
    } else {
      out("\ndid not find anything that looks like a DIR_SIG in this file\n");
    }
  }

  if (p.mode & MODE_CATALOG)
    ret = parse_cat(fp.get(), p.mode, &clist, p.cats, p.doff);

  if (clist)
    out(" clist != NULL");
  if (dlist)
    out(" dlist != NULL");

  if (p.tstn == 1 && dlist)
    (void)do_tests1(dlist.get());
  else if (p.tstn == 2 && clist)
    (void)do_tests2(clist.get());
  else if (p.tstn == 3 && dlist && clist)
    (void)do_tests3(dlist.get(), clist.get());

  out("\n");
  return ret;
}

} // namespace

int cartsift_main(int argc, char **argv) {
  int status;
  try {
    status = run(argc, argv);
  } catch (const process_end &e) {
    status = e.status;
  } catch (const std::bad_alloc &) {
    // Every length in an image is at most 64 KiB, so only a starved machine
    // gets here; end with one line rather than a crash.
    out("\nout of memory, execution terminated\n");
    status = -3;
  }
  out_flush();
  return status;
}

} // namespace cartsift
