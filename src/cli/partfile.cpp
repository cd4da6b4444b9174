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

// What the signal handler may touch: one file is written at a time.
int pending_dir = -1;
char pending_name[64];
volatile sig_atomic_t pending = 0;
unsigned long long made = 0;

extern "C" void on_signal(int sig) {
  if (pending)
    unlinkat(pending_dir, pending_name, 0);
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
  std::snprintf(pending_name, sizeof pending_name, ".cartsift-%ld-%llu.part", long(getpid()),
                ++made);
  pending_dir = dir;
  // Pending before it exists: a signal between the two must not leave it.
  pending = 1;
  fd_.reset(openat(dir, pending_name, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (fd_.get() < 0)
    pending = 0;
  return fd_.get();
}

bool part_file::commit(int dir, const char *name) {
  if (::close(fd_.release()) != 0 || renameat(pending_dir, pending_name, dir, name) != 0) {
    const int err = errno;
    discard();
    errno = err;
    return false;
  }
  pending = 0;
  return true;
}

void part_file::discard() {
  fd_.reset();
  if (pending) {
    unlinkat(pending_dir, pending_name, 0);
    pending = 0;
  }
}

} // namespace cartsift::cli
