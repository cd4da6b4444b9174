// Files that appear whole or not at all: written under a temporary name in
// their directory, renamed into place when complete, and removed when the
// run is interrupted before that.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include "cli/cli.h"

namespace cartsift::cli {

namespace {

// What the signal handler may touch: the files being written, a few at a
// time (an archive and the manifests beside it, say).
struct pending_file {
  int dir = -1;
  char name[64] = {};
  volatile sig_atomic_t pending = 0;
};
constexpr int SLOTS = 8;
pending_file slots[SLOTS];
unsigned long long made = 0;

extern "C" void on_signal(int sig) {
  for (auto &s : slots)
    if (s.pending)
      unlinkat(s.dir, s.name, 0);
  signal(sig, SIG_DFL);
  raise(sig); // ends the process as the signal would have: 128 + sig to a shell
}

const int SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};

} // namespace

interrupt_guard::interrupt_guard() {
  struct sigaction sa {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  for (size_t i = 0; i < std::size(SIGNALS); i++) {
    sigaction(SIGNALS[i], nullptr, &old_[i]);
    // A signal the caller ignores stays ignored (nohup).
    if (old_[i].sa_handler != SIG_IGN)
      sigaction(SIGNALS[i], &sa, nullptr);
  }
}

interrupt_guard::~interrupt_guard() {
  for (size_t i = 0; i < std::size(SIGNALS); i++)
    sigaction(SIGNALS[i], &old_[i], nullptr);
}

int part_file::open(int dir) {
  discard();
  for (int k = 0; k < SLOTS && slot_ < 0; k++)
    if (!slots[k].pending)
      slot_ = k;
  if (slot_ < 0) {
    errno = EMFILE;
    return -1;
  }
  pending_file &s = slots[slot_];
  std::snprintf(s.name, sizeof s.name, ".cartsift-%ld-%llu.part", long(getpid()), ++made);
  s.dir = dir;
  // Pending before it exists: a signal between the two must not leave it.
  s.pending = 1;
  fd_.reset(openat(dir, s.name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (fd_.get() < 0) {
    s.pending = 0;
    slot_ = -1;
  }
  return fd_.get();
}

bool part_file::commit(int dir, const char *name, bool keep) {
  if (slot_ < 0) {
    errno = EBADF;
    return false;
  }
  pending_file &s = slots[slot_];
  bool ok = ::close(fd_.release()) == 0;
  if (ok && keep) {
    // Where the file system cannot refuse to replace, a link does.
    ok = renameat2(s.dir, s.name, dir, name, RENAME_NOREPLACE) == 0;
    if (!ok && errno == EINVAL && linkat(s.dir, s.name, dir, name, 0) == 0) {
      unlinkat(s.dir, s.name, 0);
      ok = true;
    }
  } else if (ok) {
    ok = renameat(s.dir, s.name, dir, name) == 0;
  }
  if (!ok) {
    const int err = errno;
    discard();
    errno = err;
    return false;
  }
  s.pending = 0;
  slot_ = -1;
  return true;
}

void part_file::discard() {
  fd_.reset();
  if (slot_ >= 0) {
    pending_file &s = slots[slot_];
    unlinkat(s.dir, s.name, 0);
    s.pending = 0;
    slot_ = -1;
  }
}

int open_parent(const std::string &path, std::string *name) {
  const size_t slash = path.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash);
  *name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (dir.empty())
    dir = "/";
  if (name->empty() || *name == "." || *name == "..") {
    errno = EISDIR;
    return -1;
  }
  return ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

} // namespace cartsift::cli
