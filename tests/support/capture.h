// Unit-test helpers: capture what the tool prints, and open bytes as an
// image through the tool's own reader.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "image/image.h"

namespace cartsift::testing {

// A read-write stream on an anonymous temporary file, gone when closed: a
// memory stream every C library can give (Windows' has no open_memstream
// or fmemopen). Throws when none can be made.
FILE *temp_stream();

// A stream that reads text, from its start.
FILE *text_stream(const std::string &text);

// Everything written to f since offset *from, which moves to the end.
std::string written_since(FILE *f, long *from);

// A file's permission bits as stat shows them: Windows keeps no more than
// whether a file is read-only, and shows that to everyone.
constexpr unsigned seen_mode(unsigned m) {
#ifdef _WIN32
  return m & 0200 ? 0666 : 0444;
#else
  return m;
#endif
}

// The path by which a tree of any depth can be walked: on Windows its
// \\?\ form, which has no limit of 260 characters.
std::filesystem::path long_path(const std::string &p);

// Removes p and everything below it, read-only files and directories too.
void remove_tree(const std::string &p);

// The files below dir, however deep, as paths relative to it ('/' between
// the levels); links are not followed.
std::vector<std::string> files_below(const std::string &dir);

// A new empty file, or directory, of its own in the temporary directory:
// its path, '/' between the levels.
std::string temp_file(const char *prefix);
std::string temp_directory(const char *prefix);

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

// Points out() at a temporary stream for its lifetime.
class capture {
public:
  capture() : mem_(temp_stream()), prev_(out_stream(mem_)) {}
  capture(const capture &) = delete;
  capture &operator=(const capture &) = delete;
  ~capture() {
    out_stream(prev_);
    fclose(mem_);
  }
  // Everything printed since the last take().
  std::string take() {
    out_flush();
    return written_since(mem_, &from_);
  }

private:
  FILE *mem_ = nullptr;
  FILE *prev_ = nullptr;
  long from_ = 0;
};

// Writes bytes to a temporary file, opens it as an image, removes it after.
class scratch_image {
public:
  explicit scratch_image(const std::vector<uint8_t> &bytes) : path_(temp_file("cartsift-img")) {
    if (FILE *f = std::fopen(path_.c_str(), "wb")) {
      std::fwrite(bytes.data(), 1, bytes.size(), f);
      std::fclose(f);
    }
    fd_ = img_open(path_.c_str());
  }
  scratch_image(const scratch_image &) = delete;
  scratch_image &operator=(const scratch_image &) = delete;
  ~scratch_image() {
    img_close(fd_);
    std::remove(path_.c_str());
  }
  int fd() const { return fd_; }
  const std::string &path() const { return path_; }

private:
  std::string path_;
  int fd_ = -1;
};

} // namespace cartsift::testing
