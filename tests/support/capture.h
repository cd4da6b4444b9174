// Unit-test helpers: capture what the tool prints, and open bytes as an
// image through the tool's own reader.
#pragma once

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "image/image.h"

namespace cartsift::testing {

// printf into a string, for expected texts built from offsets.
inline std::string fmt(const char *f, ...) CARTSIFT_PRINTF(1, 2);
inline std::string fmt(const char *f, ...) {
  char tmp[4096];
  va_list ap;
  va_start(ap, f);
  vsnprintf(tmp, sizeof tmp, f, ap);
  va_end(ap);
  return tmp;
}

// Points out() at a memory stream for its lifetime.
class capture {
public:
  capture() {
    mem_ = open_memstream(&data_, &size_);
    prev_ = out_stream(mem_);
  }
  capture(const capture &) = delete;
  capture &operator=(const capture &) = delete;
  ~capture() {
    out_stream(prev_);
    fclose(mem_);
    free(data_);
  }
  // Everything printed so far; clears it.
  std::string take() {
    out_flush();
    std::string s(data_, size_);
    fseek(mem_, 0, SEEK_SET);
    out_flush();
    size_ = 0;
    if (data_)
      data_[0] = '\0';
    return s;
  }

private:
  FILE *mem_ = nullptr;
  FILE *prev_ = nullptr;
  char *data_ = nullptr;
  size_t size_ = 0;
};

// Writes bytes to a temporary file, opens it as an image, removes it after.
class scratch_image {
public:
  explicit scratch_image(const std::vector<uint8_t> &bytes) {
    char tmpl[] = "/tmp/cartsift-img-XXXXXX";
    int fd = mkstemp(tmpl);
    path_ = tmpl;
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (w <= 0)
        break;
      done += size_t(w);
    }
    ::close(fd);
    fd_ = img_open(path_.c_str());
  }
  scratch_image(const scratch_image &) = delete;
  scratch_image &operator=(const scratch_image &) = delete;
  ~scratch_image() {
    img_close(fd_);
    ::unlink(path_.c_str());
  }
  int fd() const { return fd_; }
  const std::string &path() const { return path_; }

private:
  std::string path_;
  int fd_ = -1;
};

} // namespace cartsift::testing
