// The record readers on arbitrary bytes. The first input byte picks the
// reader; the rest is placed in the image where that reader looks (the
// headers and the volume table sit at fixed offsets) and read until the
// reader gives up, printing what it returns as the walks would.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "extract/extract.h"
#include "image/image.h"
#include "records/records.h"

namespace {

using namespace cartsift;

int mem_fd = -1;
std::string mem_path;

// The image lives in a memory file reopened by path, so each input costs no
// disk traffic and img_open sees a regular file as in real runs.
int open_image(const uint8_t *d, size_t n, off_t at) {
  if (ftruncate(mem_fd, 0) != 0 || (n > 0 && pwrite(mem_fd, d, n, at) != ssize_t(n)))
    std::abort();
  if (n == 0 && at > 0 && ftruncate(mem_fd, at) != 0)
    std::abort();
  return img_open(mem_path.c_str());
}

void show(const uni_str *s) {
  if (s) {
    disp_uni_str(*s);
    disp_uni_path(*s);
  }
}

void dir_entries(int fp) {
  dir_head dh;
  for (;;) {
    int r = get_dheader(fp, &dh);
    if (r != 0)
      break;
    show(dh.nm1.get());
    show(dh.nm2.get());
    show(dh.nm3.get());
    show(dh.path.get());
    // The extraction step composes these two into buf.
    (void)mk_path_str(dh.nm1.get(), dh.path.get());
    adjust_path(reinterpret_cast<char *>(buf));
    out("%s", reinterpret_cast<const char *>(buf));
    // Over the file data and the trailer, as the walk steps.
    if (img_seek(fp, int64_t(ent_flen(dh.unknw1)) + 18, SEEK_CUR) < 0)
      break;
    free_dhead(&dh);
  }
  free_dhead(&dh);
}

void cat_entries(int fp) {
  cat_head ch;
  while (get_cheader(fp, &ch) > 1) {
    show(ch.nm1.get());
    show(ch.nm2.get());
    show(ch.nm3.get());
    free_chead(&ch);
  }
  free_chead(&ch);
}

void show(const entry_info &i) {
  out("%d %lld %u %u %u %u %u %u %d", int(i.standard), static_cast<long long>(i.size), i.attrib,
      i.mtime, i.atime, i.ctime, i.os_mtime, i.dos_mtime, int(i.has_short));
}

// Entries as the everyday walk reads them: by the standard where they read
// that way, else by the fixed layout from the same place.
void std_entries(int fp) {
  dir_head dh;
  entry_info info;
  for (;;) {
    const int64_t at = img_seek(fp, 0, SEEK_CUR);
    if (at < 0)
      break;
    if (!get_dentry_std(fp, &dh, &info)) {
      if (!seek_to(fp, at) || get_dheader(fp, &dh) != DH_OK)
        break;
      info = fixed_info(dh.unknw1);
    }
    show(dh.nm1.get());
    show(dh.nm2.get());
    show(dh.path.get());
    show(info);
    if (info.size > INT64_MAX - 18 || img_seek(fp, info.size + 18, SEEK_CUR) < 0)
      break;
  }
}

void std_catalog(int fp) {
  cat_reader cat(fp, true);
  while (const cat_head *ch = cat.next()) {
    show(ch->nm1.get());
    show(ch->nm2.get());
    show(cat.info());
  }
}

void strings(int fp) {
  while (uni_ptr s = get_unistr(fp)) {
    show(s.get());
    uni_ptr d = dup_uni_str(*s);
    show(d.get());
  }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  setenv("TZ", "UTC", 1);
  tzset();
  mem_fd = memfd_create("image", 0);
  if (mem_fd < 0)
    std::abort();
  mem_path = "/proc/self/fd/" + std::to_string(mem_fd);
  out_stream(std::fopen("/dev/null", "w"));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1)
    return 0;
  const uint8_t sel = data[0] % 9;
  data++;
  size--;
  off_t at = sel == 4 ? BLOCK_SIZE : sel == 5 ? VTBL_OFFSET : 0;
  int fp = open_image(data, size, at);
  if (fp < 0)
    std::abort();
  switch (sel) {
  case 0:
    dir_entries(fp);
    break;
  case 1:
    cat_entries(fp);
    break;
  case 2:
    strings(fp);
    break;
  case 3:
  case 4:
    if (auto h = get_fheader(fp, sel - 3, 0)) {
      uint16_t job, disk;
      (void)get_fhead_sdata(*h, &job, &disk);
      out("%u %u %u", hdr_nblk(*h), job, disk);
    }
    break;
  case 5:
    if (auto v = get_vtbl(fp))
      disp_vtbl(*v);
    break;
  case 6: {
    // The search from every start in the first bytes: chunk seams move.
    for (int64_t from = 0; from < 8 && from <= int64_t(size); from++)
      (void)fnd_sig(fp, from, DIR_SIG);
    (void)fnd_sig(fp, 0, FILE_SIG);
    break;
  }
  case 7:
    std_entries(fp);
    break;
  case 8:
    std_catalog(fp);
    break;
  }
  (void)get_cur_pos(fp);
  img_close(fp);
  return 0;
}
