// The platform layer on POSIX systems: Linux, macOS and the BSDs. What one
// of them alone has stays inside an #ifdef here, with a portable way for
// the others.
#ifndef _WIN32

#include <dirent.h>
#include <fcntl.h>
#include <locale.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__) || defined(__APPLE__)
#include <sys/xattr.h>
#endif

#include <cerrno>
#include <cstring>
#include <iterator>

#include "platform/platform.h"

static_assert(sizeof(off_t) == 8, "image offsets are 64-bit");

namespace cartsift::platform {

struct dir_access {
  static int fd(const dir &d) { return d.fd_; }
  static dir make(int fd) {
    dir d;
    d.fd_ = fd;
    return d;
  }
};

namespace {

int fd_of(const dir &d) { return dir_access::fd(d); }

int64_t ns(const struct timespec &t) { return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec; }

void fill(const struct stat &st, file_info *fi) {
  fi->kind = S_ISREG(st.st_mode)   ? file_kind::regular
             : S_ISDIR(st.st_mode) ? file_kind::directory
                                   : file_kind::other;
  fi->size = st.st_size;
  fi->writable = (st.st_mode & S_IWUSR) != 0;
#ifdef __APPLE__
  fi->changed_ns = ns(st.st_ctimespec);
#else
  fi->changed_ns = ns(st.st_ctim);
#endif
  fi->dev = uint64_t(st.st_dev);
  fi->ino = uint64_t(st.st_ino);
}

struct times_pair {
  struct timespec ts[2];
  explicit times_pair(const file_times &t)
      : ts{{time_t(t.access), 0}, {time_t(t.modify), 0}} {}
};

// Samba's and Wine's form of the attribute byte.
struct dos_text {
  char s[8];
  size_t n;
  explicit dos_text(uint8_t a) : n(size_t(std::snprintf(s, sizeof s, "0x%x", unsigned(a)))) {}
};

bool set_xattr(int fd, const dos_text &v) {
#if defined(__linux__)
  return fsetxattr(fd, "user.DOSATTRIB", v.s, v.n, 0) == 0;
#elif defined(__APPLE__)
  return fsetxattr(fd, "user.DOSATTRIB", v.s, v.n, 0, 0) == 0;
#else
  (void)fd;
  (void)v;
  errno = ENOTSUP;
  return false;
#endif
}

} // namespace

// ---- files ----------------------------------------------------------------

int open_file(const dir &at, const char *name, unsigned flags, unsigned perms) {
  int f = O_CLOEXEC | ((flags & OPEN_RDWR) ? O_RDWR : O_RDONLY);
  if (flags & OPEN_CREATE)
    f |= O_CREAT;
  if (flags & OPEN_EXCL)
    f |= O_EXCL;
  if (flags & OPEN_NOFOLLOW)
    f |= O_NOFOLLOW;
  return ::openat(fd_of(at), name, f, mode_t(perms));
}

int open_null() { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }

bool close_file(int fd) { return ::close(fd) == 0; }

int64_t read_full(int fd, void *dst, size_t n, int64_t at) {
  size_t got = 0;
  auto *p = static_cast<uint8_t *>(dst);
  while (got < n) {
    ssize_t r = at >= 0 ? ::pread(fd, p + got, n - got, off_t(at + int64_t(got)))
                        : ::read(fd, p + got, n - got);
    if (r < 0) {
      if (errno == EINTR)
        continue;
      return got > 0 ? int64_t(got) : -1;
    }
    if (r == 0)
      break;
    got += size_t(r);
  }
  return int64_t(got);
}

size_t write_some(int fd, const void *src, size_t n) {
  const auto *p = static_cast<const uint8_t *>(src);
  size_t done = 0;
  while (done < n) {
    ssize_t w = ::write(fd, p + done, n - done);
    if (w < 0 && errno == EINTR)
      continue;
    if (w <= 0)
      break;
    done += size_t(w);
  }
  return done;
}

bool write_at(int fd, const void *src, size_t n, int64_t at) {
  const auto *p = static_cast<const uint8_t *>(src);
  while (n > 0) {
    ssize_t w = ::pwrite(fd, p, n, off_t(at));
    if (w < 0 && errno == EINTR)
      continue;
    if (w <= 0)
      return false;
    p += w;
    n -= size_t(w);
    at += w;
  }
  return true;
}

int64_t seek(int fd, int64_t off, int whence) { return ::lseek(fd, off_t(off), whence); }

bool truncate(int fd, int64_t len) { return ::ftruncate(fd, off_t(len)) == 0; }

bool sync(int fd) { return ::fsync(fd) == 0; }

int64_t copy_range(int in, int64_t *at, int out, size_t n) {
#ifdef __linux__
  for (;;) {
    loff_t from = *at;
    ssize_t r = ::copy_file_range(in, &from, out, nullptr, n, 0);
    if (r >= 0) {
      *at += r;
      return r;
    }
    if (errno == EINTR)
      continue;
    if (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)
      return COPY_REFUSED;
    return -1;
  }
#else
  (void)in;
  (void)at;
  (void)out;
  (void)n;
  return COPY_REFUSED;
#endif
}

bool stat_file(int fd, file_info *fi) {
  struct stat st;
  if (::fstat(fd, &st) != 0)
    return false;
  fill(st, fi);
  return true;
}

bool stat_at(const dir &at, const char *name, file_info *fi, bool follow) {
  struct stat st;
  if (::fstatat(fd_of(at), name, &st, follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
    return false;
  fill(st, fi);
  return true;
}

bool set_times(int fd, const file_times &t) { return ::futimens(fd, times_pair(t).ts) == 0; }

bool set_times(const dir &d, const file_times &t) { return set_times(fd_of(d), t); }

bool set_times_at(const dir &at, const char *name, const file_times &t) {
  return ::utimensat(fd_of(at), name, times_pair(t).ts, AT_SYMLINK_NOFOLLOW) == 0;
}

unsigned creation_mask() {
  // Read once: setting it back is the only way to read it, and that is no
  // business of a running extraction.
  static const unsigned m = [] {
    mode_t u = ::umask(0);
    ::umask(u);
    return unsigned(u);
  }();
  return m;
}

bool set_perms(int fd, unsigned perms) { return ::fchmod(fd, mode_t(perms)) == 0; }

bool set_perms_at(const dir &at, const char *name, unsigned perms) {
  return ::fchmodat(fd_of(at), name, mode_t(perms), 0) == 0;
}

bool set_dos_attrib(int fd, uint8_t attrib) { return set_xattr(fd, dos_text(attrib)); }

bool set_dos_attrib(const dir &d, uint8_t attrib) { return set_dos_attrib(fd_of(d), attrib); }

// ---- directories ------------------------------------------------------------

dir::dir(dir &&o) noexcept : fd_(o.fd_) { o.fd_ = -1; }

dir &dir::operator=(dir &&o) noexcept {
  if (this != &o) {
    reset();
    fd_ = o.fd_;
    o.fd_ = -1;
  }
  return *this;
}

bool dir::ok() const { return fd_ >= 0 || fd_ == AT_FDCWD; }

void dir::reset() {
  if (fd_ >= 0)
    ::close(fd_);
  fd_ = -1;
}

const dir &cwd() {
  static const dir here = dir_access::make(AT_FDCWD);
  return here;
}

dir open_dir(const dir &at, const char *name, bool nofollow) {
  const int f = O_RDONLY | O_DIRECTORY | O_CLOEXEC | (nofollow ? O_NOFOLLOW : 0);
  return dir_access::make(::openat(fd_of(at), name, f));
}

bool make_dir(const dir &at, const char *name) { return ::mkdirat(fd_of(at), name, 0777) == 0; }

bool can_write(const dir &d) { return ::faccessat(fd_of(d), ".", W_OK | X_OK, AT_EACCESS) == 0; }

bool read_dir(const dir &d, const std::function<bool(const char *)> &each) {
  // A stream of its own: closedir closes the descriptor it reads.
  const int fd = fd_of(d) == AT_FDCWD ? ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                                      : ::fcntl(fd_of(d), F_DUPFD_CLOEXEC, 0);
  if (fd < 0)
    return false;
  DIR *ds = ::fdopendir(fd);
  if (ds == nullptr) {
    ::close(fd);
    return false;
  }
  ::rewinddir(ds); // the copy shares the original's place
  int err = 0;
  for (;;) {
    errno = 0;
    const dirent *de = ::readdir(ds);
    if (de == nullptr) {
      err = errno; // 0 at the end
      break;
    }
    if (std::strcmp(de->d_name, ".") != 0 && std::strcmp(de->d_name, "..") != 0 &&
        !each(de->d_name))
      break;
  }
  ::closedir(ds);
  if (err != 0)
    errno = err;
  return err == 0;
}

bool rename_at(const dir &from, const char *name, const dir &to, const char *to_name,
               bool replace) {
  const int a = fd_of(from), b = fd_of(to);
  if (replace)
    return ::renameat(a, name, b, to_name) == 0;
#ifdef __linux__
  if (::renameat2(a, name, b, to_name, RENAME_NOREPLACE) == 0)
    return true;
  if (errno != EINVAL && errno != ENOSYS)
    return false;
#endif
  // Where the system cannot refuse to replace, a link does.
  if (::linkat(a, name, b, to_name, 0) != 0)
    return false;
  ::unlinkat(a, name, 0);
  return true;
}

bool unlink_at(const dir &at, const char *name) { return ::unlinkat(fd_of(at), name, 0) == 0; }

// ---- interruption -------------------------------------------------------------

namespace {

// What the signal handler may touch: a directory number and a name, a few
// at a time (an archive and the manifests beside it, say).
struct pending_file {
  int dir = -1;
  char name[64] = {};
  volatile sig_atomic_t pending = 0;
};
constexpr int SLOTS = 8;
pending_file slots[SLOTS];

extern "C" void cartsift_on_signal(int sig) {
  for (auto &s : slots)
    if (s.pending)
      ::unlinkat(s.dir, s.name, 0);
  ::signal(sig, SIG_DFL);
  ::raise(sig); // ends the process as the signal would have
}

const int SIGNALS[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction old_actions[std::size(SIGNALS)];
int guards = 0; // made on the main thread only

} // namespace

int remove_on_interrupt(const dir &at, const char *name) {
  const size_t n = std::strlen(name);
  if (n >= sizeof slots[0].name) {
    errno = ENAMETOOLONG;
    return -1;
  }
  for (int k = 0; k < SLOTS; k++) {
    pending_file &s = slots[k];
    if (s.pending)
      continue;
    s.dir = fd_of(at);
    std::memcpy(s.name, name, n + 1);
    s.pending = 1; // last: the handler reads the rest once it is set
    return k;
  }
  errno = EMFILE;
  return -1;
}

void forget_on_interrupt(int slot) {
  if (slot >= 0 && slot < SLOTS)
    slots[slot].pending = 0;
}

interrupt_guard::interrupt_guard() {
  if (guards++ > 0)
    return;
  struct sigaction sa {};
  sa.sa_handler = cartsift_on_signal;
  sigemptyset(&sa.sa_mask);
  for (size_t i = 0; i < std::size(SIGNALS); i++) {
    ::sigaction(SIGNALS[i], nullptr, &old_actions[i]);
    if (old_actions[i].sa_handler != SIG_IGN)
      ::sigaction(SIGNALS[i], &sa, nullptr);
  }
}

interrupt_guard::~interrupt_guard() {
  if (--guards > 0)
    return;
  for (size_t i = 0; i < std::size(SIGNALS); i++)
    ::sigaction(SIGNALS[i], &old_actions[i], nullptr);
}

// ---- terminal, command line, process, calendar ----------------------------------

bool is_terminal(int fd) { return ::isatty(fd) == 1; }

int terminal_width(int fd) {
  struct winsize ws {};
  if (::ioctl(fd, TIOCGWINSZ, &ws) != 0)
    return 0;
  return ws.ws_col;
}

void utf8_args(int *, char ***) {}

bool write_text(FILE *f, const char *s, size_t n) { return std::fwrite(s, 1, n, f) == n; }

const char *null_device() { return "/dev/null"; }

long process_id() { return long(::getpid()); }

bool local_time(int64_t t, std::tm *tm) {
  const time_t tt = time_t(t);
  return ::localtime_r(&tt, tm) != nullptr;
}

bool utc_time(int64_t t, std::tm *tm) {
  const time_t tt = time_t(t);
  return ::gmtime_r(&tt, tm) != nullptr;
}

utf8_conversions::utf8_conversions() {
  locale_t loc = locale_t(0);
  for (const char *name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"})
    if (!loc)
      loc = ::newlocale(LC_CTYPE_MASK, name, locale_t(0));
  if (loc) {
    loc_ = loc;
    old_ = ::uselocale(loc);
  }
}

utf8_conversions::~utf8_conversions() {
  if (loc_) {
    ::uselocale(static_cast<locale_t>(old_));
    ::freelocale(static_cast<locale_t>(loc_));
  }
}

} // namespace cartsift::platform

#endif // _WIN32
