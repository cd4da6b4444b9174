// Helpers for the hardening sweeps: the demo image's layout found by
// stepping over its records, and whole runs in a guarded working directory
// whose surroundings must not change.
#pragma once

#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "img_builder.h"
#include "support/capture.h"
#include "support/testutil.h"

namespace cartsift::hardening {

// Where the records of a builder image lie, found from their length words
// alone (the tool's readers are what is under test).
struct entry_span {
  size_t off = 0;      // DIR_SIG
  size_t data = 0;     // first byte of the file data
  size_t trailer = 0;  // first byte of the trailer
  size_t end = 0;      // one past the trailer
  bool last = false;   // PF_END
  std::string dir;     // path components joined by '\\', empty at the root
};
struct backup_span {
  std::vector<entry_span> entries;
  size_t cat = 0, cat_end = 0; // catalog, end marker included
  std::vector<size_t> cat_entries;
};
std::vector<backup_span> layout_of(const build::image &img);

// Runs in a working directory of their own, three levels below a scratch
// directory that also holds a sentinel file and the image; everything
// outside the working directory must stay as it was, and a run may take
// only a bounded time. The working directory is entered for the lifetime
// of this object and emptied after each run; runs without -x must leave it
// empty.
class guarded_runs {
public:
  explicit guarded_runs(const build::image &img);
  explicit guarded_runs(std::vector<uint8_t> bytes);
  ~guarded_runs();
  guarded_runs(const guarded_runs &) = delete;
  guarded_runs &operator=(const guarded_runs &) = delete;

  const std::string &image() const { return image_; }
  // Cuts the image file to n bytes (only ever shorter, so no rewrite).
  void truncate_to(size_t n);
  // Rewrites the image file.
  void rewrite(const std::vector<uint8_t> &bytes);

  // cartsift <image> args..., input answered with stdin_text. Fails the test
  // when the run takes too long or touches anything outside its directory.
  // inspect, when given, sees the working directory before it is emptied.
  run_result run(const std::vector<std::string> &args, const std::string &stdin_text = "",
                 const std::function<void(const std::string &)> &inspect = nullptr);
  int runs() const { return runs_; }

private:
  void check_surroundings(const std::string &what);
  void stamp_image();
  temp_dir outer_;
  std::string work_, old_cwd_, image_, sentinel_;
  size_t size_ = 0;
  int64_t mtime_ns_ = 0;
  int runs_ = 0;
};

std::string hex(size_t v);

// The messages a reader prints when the image ends under it, as any of the
// listing's readers may meet the end.
bool names_listing_end(const std::string &out);

} // namespace cartsift::hardening
