// The one-line progress display on standard error.
#include <algorithm>
#include <chrono>

#include "cli/cli.h"

namespace cartsift::cli {

namespace {

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string size_text(double b) {
  static const char *const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int u = 0;
  while (b >= 1024 && u < 4) {
    b /= 1024;
    u++;
  }
  char s[32];
  std::snprintf(s, sizeof s, u == 0 ? "%.0f %s" : "%.1f %s", b, units[u]);
  return s;
}

progress *active = nullptr;

} // namespace

void progress::clear() {
  // Spaces rather than an erase sequence, which not every console knows.
  if (active && active->shown_) {
    text(stderr, "\r" + std::string(active->width_, ' ') + "\r");
    active->shown_ = false;
    active->width_ = 0;
  }
}

progress::progress(bool on, uint64_t bytes, uint64_t files)
    : on_(on && platform::is_terminal(platform::STDERR)), total_bytes_(bytes), total_files_(files), start_(now()) {
  if (on_)
    active = this;
}

progress::~progress() {
  done();
  if (active == this)
    active = nullptr;
}

void progress::add(uint64_t bytes, uint64_t files) {
  bytes_ += bytes;
  files_ += files;
  if (on_) {
    double t = now();
    if (t - last_ >= 0.2) {
      last_ = t;
      draw(false);
    }
  }
}

void progress::done() {
  if (!on_)
    return;
  draw(true);
  text(stderr, "\n");
  on_ = false;
  shown_ = false;
  width_ = 0;
}

void progress::draw(bool last) {
  const double secs = now() - start_;
  const double rate = secs > 0 ? double(bytes_) / secs : 0;
  char line[160];
  const int n = std::snprintf(line, sizeof line, "%s of %s, %llu of %llu files, %s/s%s",
                              size_text(double(bytes_)).c_str(),
                              size_text(double(total_bytes_)).c_str(),
                              static_cast<unsigned long long>(files_),
                              static_cast<unsigned long long>(total_files_),
                              size_text(rate).c_str(), last ? ", done" : "");
  const size_t w = std::min(size_t(std::max(n, 0)), sizeof line - 1);
  std::fflush(stdout);
  text(stderr, "\r" + std::string(line, w) + std::string(width_ > w ? width_ - w : 0, ' '));
  width_ = w;
  shown_ = true;
}

} // namespace cartsift::cli
