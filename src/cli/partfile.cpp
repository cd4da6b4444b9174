// Files that appear whole or not at all: written under a temporary name in
// their directory, renamed into place when complete, and removed when the
// run is interrupted before that.
#include <cerrno>
#include <cstdio>

#include "cli/cli.h"

namespace cartsift::cli {

namespace {

unsigned long long made = 0;

} // namespace

int part_file::open(const platform::dir &dir) {
  discard();
  char name[64];
  std::snprintf(name, sizeof name, ".cartsift-%ld-%llu.part", platform::process_id(), ++made);
  // To be removed before it exists: an interrupt between the two must not
  // leave it.
  slot_ = platform::remove_on_interrupt(dir, name);
  if (slot_ < 0)
    return -1;
  dir_ = &dir;
  name_ = name;
  using namespace platform;
  fd_.reset(open_file(dir, name, OPEN_RDWR | OPEN_CREATE | OPEN_EXCL | OPEN_NOFOLLOW, 0666));
  if (fd_.get() < 0) {
    forget_on_interrupt(slot_);
    slot_ = -1;
  }
  return fd_.get();
}

bool part_file::commit(const platform::dir &dir, const char *name, bool keep) {
  if (slot_ < 0) {
    errno = EBADF;
    return false;
  }
  const bool ok = platform::close_file(fd_.release()) &&
                  platform::rename_at(*dir_, name_.c_str(), dir, name, !keep);
  if (!ok) {
    const int err = errno;
    discard();
    errno = err;
    return false;
  }
  platform::forget_on_interrupt(slot_);
  slot_ = -1;
  return true;
}

void part_file::discard() {
  fd_.reset();
  if (slot_ >= 0) {
    platform::unlink_at(*dir_, name_.c_str());
    platform::forget_on_interrupt(slot_);
    slot_ = -1;
  }
}

platform::dir open_parent(const std::string &path, std::string *name) {
  const size_t slash = path.find_last_of(PATH_SEPS);
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
  *name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (dir.empty())
    dir = "/";
  if (name->empty() || *name == "." || *name == "..") {
    errno = EISDIR;
    return {};
  }
  return platform::open_dir(platform::cwd(), dir.c_str(), false);
}

} // namespace cartsift::cli
