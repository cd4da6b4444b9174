// Continuing a file from the data region of the next image of a set, whose
// name the user types.
#include <algorithm>
#include <cstdio>
#include <string>

#include "extract/extract.h"
#include "extract/write_full.h"

namespace cartsift {

namespace {

// Image descriptors go back through img_close so that the read cache
// forgets them.
struct img_guard {
  int fd = -1;
  img_guard() = default;
  img_guard(const img_guard &) = delete;
  img_guard &operator=(const img_guard &) = delete;
  ~img_guard() { reset(); }
  void reset(int n = -1) {
    if (fd >= 0)
      img_close(fd);
    fd = n;
  }
};

// The rest of an answer line after its first character c, into buf: at
// most 1023 characters in all, the 1024th read and dropped, the remainder
// left for the next prompt.
void read_answer(int c) {
  char *const b = reinterpret_cast<char *>(buf);
  size_t i = 0;
  for (;;) {
    b[i] = static_cast<char>(c);
    if (i == BUF_SIZE - 1 || c == '\n')
      break;
    c = in_char();
    ++i;
    if (c == EOF) // a last line without its newline still names a file
      break;
  }
  b[i] = '\0';
}

} // namespace

int next_image_data(int fo, int64_t len) {
  img_guard fi;
  for (;;) {
    out("\n\ncurrent file data in next image, enter 'q' to abort or next "
        "image file name:\n  ");
    // End of input would answer every prompt with nothing: give up as 'q'.
    int ch = in_char();
    if (ch == 'q' || ch == 'Q' || ch == EOF)
      return -1;
    read_answer(ch);
    // Kept apart from buf, which the image layer may use while checking.
    std::string name(reinterpret_cast<const char *>(buf));
    out("\nattempting new source file: %s", name.c_str());
    fi.reset(img_open(name.c_str()));
    if (fi.fd < 0) {
      out("\nopen failed source file %s\n", name.c_str());
      continue;
    }
    std::unique_ptr<qic_vtbl> vtbl = get_vtbl(fi.fd);
    if (!vtbl) {
      out("\n%s does not appear to be a valid *.113 file", name.c_str());
      fi.reset();
      continue;
    }
    if (vtbl->comp != 0) {
      out("\nnew source file can not be compressed, this one is!");
      fi.reset();
      continue;
    }
    if (!seek_to(fi.fd, DATA_START)) {
      out("\nfailed to seek to start of data at 0x%lx in input file",
          x32(DATA_START));
      fi.reset();
      continue;
    }
    break;
  }

  // The new image's own catalog offset is not consulted: a file spans at
  // most two images, so the rest lies contiguously from its data start.
  int ret = 0;
  int64_t wr = 0;
  if (len > 0) {
    int64_t at = platform::seek(fo, 0, SEEK_CUR);
    chunk_copy c = copy_chunks(fi.fd, fo, at < 0 ? 0 : at, len);
    wr = c.wr;
    if (!c.ok) {
      chunk_dots(0, c.chunks - 1);
      ret = -3;
      out("\nfile io error");
      chunk_dots(c.chunks - 1, c.chunks);
    } else {
      chunk_dots(0, c.chunks);
    }
  }
  if (ret == 0)
    out("\nsuccessfully appended 0x%lx bytes to extracted file", x32(wr));
  return ret;
}

} // namespace cartsift
