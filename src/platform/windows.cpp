// The platform layer on Windows, through the wide-character Win32 calls.
// Names arrive as UTF-8 and become UTF-16 here and nowhere else; paths go
// to the system in their \\?\ form, so that none is cut at 260 characters.
#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <locale.h>
#include <shellapi.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace cartsift::platform {

struct dir_access {
  static HANDLE handle(const dir &d) { return static_cast<HANDLE>(d.h_); }
  static const std::wstring &path(const dir &d) { return d.path_; }
  // cwd() alone has a path but no handle: names in it are resolved against
  // the current directory at the time of the call, as AT_FDCWD is.
  static bool is_cwd(const dir &d) { return d.h_ == nullptr && !d.path_.empty(); }
  static dir make(HANDLE h, std::wstring path) {
    dir d;
    d.h_ = h;
    d.path_ = std::move(path);
    return d;
  }
};

namespace {

using dacc = dir_access;

constexpr DWORD SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The errno values the callers test, and strerror's wording for the rest.
int errno_of(DWORD e) {
  switch (e) {
  case ERROR_FILE_NOT_FOUND:
  case ERROR_PATH_NOT_FOUND:
  case ERROR_INVALID_DRIVE:
  case ERROR_BAD_NETPATH:
  case ERROR_BAD_NET_NAME:
  case ERROR_BAD_UNIT:
    return ENOENT;
  case ERROR_FILE_EXISTS:
  case ERROR_ALREADY_EXISTS:
    return EEXIST;
  case ERROR_ACCESS_DENIED:
  case ERROR_SHARING_VIOLATION:
  case ERROR_LOCK_VIOLATION:
  case ERROR_PRIVILEGE_NOT_HELD:
  case ERROR_CANNOT_MAKE:
  case ERROR_CURRENT_DIRECTORY:
    return EACCES;
  case ERROR_WRITE_PROTECT:
    return EROFS;
  case ERROR_DIRECTORY:
    return ENOTDIR;
  case ERROR_DIR_NOT_EMPTY:
    return ENOTEMPTY;
  case ERROR_CANT_RESOLVE_FILENAME:
    return ELOOP;
  case ERROR_DISK_FULL:
  case ERROR_HANDLE_DISK_FULL:
    return ENOSPC;
  case ERROR_FILENAME_EXCED_RANGE:
    return ENAMETOOLONG;
  case ERROR_NO_UNICODE_TRANSLATION:
    return EILSEQ;
  case ERROR_NOT_ENOUGH_MEMORY:
  case ERROR_OUTOFMEMORY:
    return ENOMEM;
  case ERROR_TOO_MANY_OPEN_FILES:
    return EMFILE;
  case ERROR_NOT_SAME_DEVICE:
    return EXDEV;
  case ERROR_BROKEN_PIPE:
  case ERROR_NO_DATA:
    return EPIPE;
  case ERROR_INVALID_HANDLE:
    return EBADF;
  case ERROR_NOT_SUPPORTED:
  case ERROR_INVALID_FUNCTION:
    return ENOTSUP;
  case ERROR_CRC:
  case ERROR_READ_FAULT:
  case ERROR_WRITE_FAULT:
  case ERROR_GEN_FAILURE:
  case ERROR_IO_DEVICE:
  case ERROR_SECTOR_NOT_FOUND:
    return EIO;
  default:
    return EINVAL;
  }
}

// Every failure path ends here: errno from the last Win32 error.
template <class T> T fail(T r) {
  errno = errno_of(GetLastError());
  return r;
}

template <class T> T fail_with(int err, T r) {
  errno = err;
  return r;
}

// UTF-8 to UTF-16; anything else is taken as Latin-1, so it never fails.
bool widen(const char *s, size_t n, std::wstring *w) {
  w->clear();
  if (n == 0)
    return true;
  const int len = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s, int(n), nullptr, 0);
  if (len <= 0) {
    // Not UTF-8: the low bytes of an image's 16-bit characters, as the
    // classic face and --raw-names give names, which are Latin-1.
    w->assign(s, s + n);
    for (auto &c : *w)
      c = wchar_t(uint8_t(c));
    return true;
  }
  w->resize(size_t(len));
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, s, int(n), w->data(), len);
  return true;
}

// A lone surrogate in a name (NTFS allows them) becomes U+FFFD.
std::string narrow(const wchar_t *w, size_t n) {
  std::string s;
  if (n == 0)
    return s;
  const int len = WideCharToMultiByte(CP_UTF8, 0, w, int(n), nullptr, 0, nullptr, nullptr);
  if (len <= 0)
    return s;
  s.resize(size_t(len));
  WideCharToMultiByte(CP_UTF8, 0, w, int(n), s.data(), len, nullptr, nullptr);
  return s;
}

bool absolute(const std::wstring &w) {
  return (!w.empty() && w[0] == L'\\') || (w.size() >= 2 && w[1] == L':');
}

// The full path of name in at, normalised ('.' and '..' resolved, '/' made
// '\\'), without the \\?\ prefix; that is what a dir keeps.
bool full_path(const dir &at, const char *name, std::wstring *out) {
  std::wstring w;
  if (!widen(name, std::strlen(name), &w))
    return false;
  if (w.empty())
    return fail_with(ENOENT, false);
  std::replace(w.begin(), w.end(), L'/', L'\\');
  if (!dacc::is_cwd(at) && !absolute(w)) {
    const std::wstring &base = dacc::path(at);
    if (base.empty())
      return fail_with(EBADF, false);
    w = base + (base.back() == L'\\' ? L"" : L"\\") + w;
  }
  if (w.starts_with(L"\\\\?\\")) { // already in the system's own form
    *out = std::move(w);
    return true;
  }
  DWORD n = GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
  if (n == 0)
    return fail(false);
  std::wstring f(n, L'\0');
  n = GetFullPathNameW(w.c_str(), n, f.data(), nullptr);
  if (n == 0 || n >= f.size())
    return fail(false);
  f.resize(n);
  // "C:\" and "\\server\share\" keep theirs; no directory needs one.
  while (f.size() > 3 && f.back() == L'\\' && f[f.size() - 2] != L':')
    f.pop_back();
  *out = std::move(f);
  return true;
}

// What the system is handed: the \\?\ form, unless the path is one already
// or names a device (\\.\NUL).
std::wstring long_form(const std::wstring &f) {
  if (f.starts_with(L"\\\\?\\") || f.starts_with(L"\\\\.\\"))
    return f;
  if (f.starts_with(L"\\\\"))
    return L"\\\\?\\UNC\\" + f.substr(2);
  return L"\\\\?\\" + f;
}

bool sys_path(const dir &at, const char *name, std::wstring *out) {
  std::wstring f;
  if (!full_path(at, name, &f))
    return false;
  *out = long_form(f);
  return true;
}

struct handle_guard {
  HANDLE h;
  explicit handle_guard(HANDLE x) : h(x) {}
  ~handle_guard() {
    if (ok())
      CloseHandle(h);
  }
  handle_guard(const handle_guard &) = delete;
  handle_guard &operator=(const handle_guard &) = delete;
  bool ok() const { return h != INVALID_HANDLE_VALUE && h != nullptr; }
  HANDLE release() {
    HANDLE x = h;
    h = INVALID_HANDLE_VALUE;
    return x;
  }
};

HANDLE open_path(const std::wstring &p, DWORD access, DWORD disposition, DWORD flags,
                 DWORD share = SHARE_ALL) {
  HANDLE h = CreateFileW(p.c_str(), access, share, nullptr, disposition, flags, nullptr);
  if (h == INVALID_HANDLE_VALUE)
    errno = errno_of(GetLastError());
  return h;
}

// Symbolic links and junctions, which POSIX would call links; other reparse
// points (deduplicated or cloud files) are the files themselves.
bool is_link(HANDLE h) {
  FILE_ATTRIBUTE_TAG_INFO t{};
  if (!GetFileInformationByHandleEx(h, FileAttributeTagInfo, &t, sizeof t))
    return false;
  return (t.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
         IsReparseTagNameSurrogate(t.ReparseTag);
}

HANDLE handle_of(int fd) {
  if (fd < 0)
    return INVALID_HANDLE_VALUE;
  return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

int fd_over(HANDLE h, bool read_only) {
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h),
                                 _O_BINARY | _O_NOINHERIT | (read_only ? _O_RDONLY : 0));
  if (fd < 0) {
    CloseHandle(h);
    errno = EMFILE;
  }
  return fd;
}

// 100 ns ticks since 1601, and seconds since 1970.
constexpr int64_t EPOCH_TICKS = 116444736000000000LL;
constexpr int64_t TICKS_PER_SEC = 10000000;

bool to_filetime(int64_t t, FILETIME *ft) {
  if (t < -EPOCH_TICKS / TICKS_PER_SEC || t > (INT64_MAX - EPOCH_TICKS) / TICKS_PER_SEC)
    return false;
  const uint64_t v = uint64_t(t * TICKS_PER_SEC + EPOCH_TICKS);
  ft->dwLowDateTime = DWORD(v);
  ft->dwHighDateTime = DWORD(v >> 32);
  return true;
}

bool set_file_times(HANDLE h, const file_times &t) {
  FILETIME a, m, c;
  const bool with_c = t.create >= 0;
  if (!to_filetime(t.access, &a) || !to_filetime(t.modify, &m) ||
      (with_c && !to_filetime(t.create, &c)))
    return fail_with(EINVAL, false);
  return SetFileTime(h, with_c ? &c : nullptr, &a, &m) ? true : fail(false);
}

// The attributes a caller may set by hand; others (compressed, sparse and
// the like) belong to the file system.
constexpr DWORD DOS_BITS = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                           FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
constexpr DWORD KEPT_BITS = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED |
                            FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE;

// The attributes less clear, plus set. The times in the record stay zero,
// which leaves them as they are.
bool change_attrs(HANDLE h, DWORD clear, DWORD set) {
  FILE_BASIC_INFO bi{};
  if (!GetFileInformationByHandleEx(h, FileBasicInfo, &bi, sizeof bi))
    return fail(false);
  DWORD a = ((bi.FileAttributes & (DOS_BITS | KEPT_BITS)) & ~clear) | set;
  if (a == 0)
    a = FILE_ATTRIBUTE_NORMAL; // 0 would mean "unchanged"
  FILE_BASIC_INFO nb{};
  nb.FileAttributes = a;
  return SetFileInformationByHandle(h, FileBasicInfo, &nb, sizeof nb) ? true : fail(false);
}

bool fill(HANDLE h, file_info *fi, bool follow) {
  if (GetFileType(h) != FILE_TYPE_DISK) { // a console, a pipe, NUL
    *fi = file_info{};
    fi->writable = true;
    return true;
  }
  BY_HANDLE_FILE_INFORMATION bi;
  if (!GetFileInformationByHandle(h, &bi))
    return fail(false);
  const DWORD a = bi.dwFileAttributes;
  fi->kind = !follow && (a & FILE_ATTRIBUTE_REPARSE_POINT) && is_link(h) ? file_kind::other
             : (a & FILE_ATTRIBUTE_DIRECTORY)                           ? file_kind::directory
                                                                        : file_kind::regular;
  fi->size = int64_t(uint64_t(bi.nFileSizeHigh) << 32 | bi.nFileSizeLow);
  fi->writable = !(a & FILE_ATTRIBUTE_READONLY);
  FILE_BASIC_INFO basic{};
  int64_t ticks;
  if (GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic))
    ticks = basic.ChangeTime.QuadPart;
  else
    ticks = int64_t(uint64_t(bi.ftLastWriteTime.dwHighDateTime) << 32 |
                    bi.ftLastWriteTime.dwLowDateTime);
  fi->changed_ns = (ticks - EPOCH_TICKS) * 100;
  fi->dev = bi.dwVolumeSerialNumber;
  fi->ino = uint64_t(bi.nFileIndexHigh) << 32 | bi.nFileIndexLow;
  return true;
}

// A name opened for its attributes only, which any sharing allows; with
// BACKUP_SEMANTICS a directory opens too.
HANDLE open_meta(const dir &at, const char *name, DWORD access, bool follow) {
  std::wstring p;
  if (!sys_path(at, name, &p))
    return INVALID_HANDLE_VALUE;
  return open_path(p, access, OPEN_EXISTING,
                   FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT));
}

// A dir's own handle, or for cwd() one opened now; the guard closes only
// the latter.
struct dir_handle {
  HANDLE h;
  handle_guard own{INVALID_HANDLE_VALUE};
  dir_handle(const dir &d, DWORD access) : h(dacc::handle(d)) {
    if (dacc::is_cwd(d)) {
      own.h = open_meta(d, ".", access, true);
      h = own.h;
    } else if (h == nullptr) {
      h = INVALID_HANDLE_VALUE;
      errno = EBADF;
    }
  }
  bool ok() const { return h != INVALID_HANDLE_VALUE; }
};

} // namespace

// ---- files ----------------------------------------------------------------

int open_file(const dir &at, const char *name, unsigned flags, unsigned perms) {
  std::wstring p;
  if (!sys_path(at, name, &p))
    return -1;
  const bool rw = flags & OPEN_RDWR;
  const DWORD access = GENERIC_READ | (rw ? GENERIC_WRITE : 0);
  const DWORD disp = !(flags & OPEN_CREATE) ? OPEN_EXISTING
                     : (flags & OPEN_EXCL)  ? CREATE_NEW
                                            : OPEN_ALWAYS;
  DWORD attrs = FILE_ATTRIBUTE_NORMAL;
  if ((flags & OPEN_CREATE) && !(perms & ~creation_mask() & 0200))
    attrs = FILE_ATTRIBUTE_READONLY; // this handle may write all the same
  const bool nofollow = flags & OPEN_NOFOLLOW;
  HANDLE h = open_path(p, access, disp, attrs | (nofollow ? FILE_FLAG_OPEN_REPARSE_POINT : 0));
  if (h == INVALID_HANDLE_VALUE) {
    // Windows opens no directory as a file; POSIX does, and callers test
    // for EISDIR.
    const DWORD a = GetFileAttributesW(p.c_str());
    if (errno == EACCES && a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY))
      errno = EISDIR;
    return -1;
  }
  // OPEN_ALWAYS tells whether the name was there; OPEN_EXISTING leaves the
  // last error as it was.
  const bool made =
      disp == CREATE_NEW || (disp == OPEN_ALWAYS && GetLastError() != ERROR_ALREADY_EXISTS);
  if (nofollow && !made && is_link(h)) {
    CloseHandle(h);
    return fail_with(ELOOP, -1);
  }
  return fd_over(h, !rw);
}

int open_null() {
  HANDLE h = open_path(L"NUL", GENERIC_READ, OPEN_EXISTING, 0);
  return h == INVALID_HANDLE_VALUE ? -1 : fd_over(h, true);
}

bool close_file(int fd) { return _close(fd) == 0; }

// At an offset, ReadFile moves the descriptor's position as well (there is
// no pread on a synchronous handle): no caller reads a descriptor both ways.
int64_t read_full(int fd, void *dst, size_t n, int64_t at) {
  HANDLE h = handle_of(fd);
  if (h == INVALID_HANDLE_VALUE)
    return fail_with(EBADF, -1);
  size_t got = 0;
  auto *p = static_cast<uint8_t *>(dst);
  while (got < n) {
    const DWORD want = DWORD(std::min<size_t>(n - got, 1u << 30));
    DWORD r = 0;
    BOOL ok;
    if (at >= 0) {
      OVERLAPPED o{};
      const uint64_t off = uint64_t(at) + got;
      o.Offset = DWORD(off);
      o.OffsetHigh = DWORD(off >> 32);
      ok = ReadFile(h, p + got, want, &r, &o);
    } else {
      ok = ReadFile(h, p + got, want, &r, nullptr);
    }
    if (!ok) {
      const DWORD e = GetLastError();
      if (e == ERROR_HANDLE_EOF || e == ERROR_BROKEN_PIPE)
        break;
      errno = errno_of(e);
      return got > 0 ? int64_t(got) : -1;
    }
    if (r == 0)
      break;
    got += r;
  }
  return int64_t(got);
}

size_t write_some(int fd, const void *src, size_t n) {
  HANDLE h = handle_of(fd);
  if (h == INVALID_HANDLE_VALUE)
    return fail_with(EBADF, size_t(0));
  const auto *p = static_cast<const uint8_t *>(src);
  size_t done = 0;
  while (done < n) {
    DWORD w = 0;
    if (!WriteFile(h, p + done, DWORD(std::min<size_t>(n - done, 1u << 30)), &w, nullptr))
      return fail(done);
    if (w == 0)
      break;
    done += w;
  }
  return done;
}

// The position is put back: a positioned WriteFile moves it.
bool write_at(int fd, const void *src, size_t n, int64_t at) {
  HANDLE h = handle_of(fd);
  LARGE_INTEGER zero{}, was{};
  if (h == INVALID_HANDLE_VALUE)
    return fail_with(EBADF, false);
  if (!SetFilePointerEx(h, zero, &was, FILE_CURRENT))
    return fail(false);
  const auto *p = static_cast<const uint8_t *>(src);
  bool ok = true;
  while (ok && n > 0) {
    OVERLAPPED o{};
    o.Offset = DWORD(uint64_t(at));
    o.OffsetHigh = DWORD(uint64_t(at) >> 32);
    DWORD w = 0;
    if (!WriteFile(h, p, DWORD(std::min<size_t>(n, 1u << 30)), &w, &o))
      ok = fail(false);
    else if (w == 0)
      ok = fail_with(EIO, false);
    p += w;
    n -= w;
    at += w;
  }
  const int err = errno;
  SetFilePointerEx(h, was, nullptr, FILE_BEGIN);
  errno = err;
  return ok;
}

int64_t seek(int fd, int64_t off, int whence) {
  HANDLE h = handle_of(fd);
  if (h == INVALID_HANDLE_VALUE)
    return fail_with(EBADF, int64_t(-1));
  if (GetFileType(h) != FILE_TYPE_DISK)
    return fail_with(ESPIPE, int64_t(-1));
  if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END)
    return fail_with(EINVAL, int64_t(-1));
  const DWORD how = whence == SEEK_SET ? FILE_BEGIN : whence == SEEK_CUR ? FILE_CURRENT : FILE_END;
  LARGE_INTEGER d, now;
  d.QuadPart = off;
  if (!SetFilePointerEx(h, d, &now, how))
    return fail(int64_t(-1));
  return now.QuadPart;
}

bool truncate(int fd, int64_t len) {
  HANDLE h = handle_of(fd);
  if (h == INVALID_HANDLE_VALUE)
    return fail_with(EBADF, false);
  FILE_END_OF_FILE_INFO e{};
  e.EndOfFile.QuadPart = len;
  return SetFileInformationByHandle(h, FileEndOfFileInfo, &e, sizeof e) ? true : fail(false);
}

bool sync(int fd) {
  HANDLE h = handle_of(fd);
  if (h == INVALID_HANDLE_VALUE)
    return fail_with(EBADF, false);
  return FlushFileBuffers(h) ? true : fail(false);
}

// Windows copies whole files (CopyFileEx), not a range into an open one.
int64_t copy_range(int, int64_t *, int, size_t) { return COPY_REFUSED; }

bool stat_file(int fd, file_info *fi) {
  HANDLE h = handle_of(fd);
  if (h == INVALID_HANDLE_VALUE)
    return fail_with(EBADF, false);
  return fill(h, fi, true);
}

bool stat_at(const dir &at, const char *name, file_info *fi, bool follow) {
  handle_guard h(open_meta(at, name, FILE_READ_ATTRIBUTES, follow));
  return h.ok() && fill(h.h, fi, follow);
}

bool set_times(int fd, const file_times &t) {
  HANDLE h = handle_of(fd);
  if (h == INVALID_HANDLE_VALUE)
    return fail_with(EBADF, false);
  if (set_file_times(h, t))
    return true;
  if (errno != EACCES)
    return false;
  // Opened for reading only: a second handle may still write the times,
  // as futimens lets the owner.
  handle_guard w(ReOpenFile(h, FILE_WRITE_ATTRIBUTES, SHARE_ALL, 0));
  if (!w.ok())
    return fail(false);
  return set_file_times(w.h, t);
}

bool set_times(const dir &d, const file_times &t) {
  dir_handle h(d, FILE_WRITE_ATTRIBUTES);
  return h.ok() && set_file_times(h.h, t);
}

bool set_times_at(const dir &at, const char *name, const file_times &t) {
  handle_guard h(open_meta(at, name, FILE_WRITE_ATTRIBUTES, false));
  return h.ok() && set_file_times(h.h, t);
}

unsigned creation_mask() { return 0; }

bool set_perms(int fd, unsigned perms) {
  HANDLE h = handle_of(fd);
  if (h == INVALID_HANDLE_VALUE)
    return fail_with(EBADF, false);
  const bool ro = !(perms & 0200);
  return change_attrs(h, ro ? 0 : FILE_ATTRIBUTE_READONLY, ro ? FILE_ATTRIBUTE_READONLY : 0);
}

bool set_perms_at(const dir &at, const char *name, unsigned perms) {
  handle_guard h(open_meta(at, name, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, true));
  const bool ro = !(perms & 0200);
  return h.ok() &&
         change_attrs(h.h, ro ? 0 : FILE_ATTRIBUTE_READONLY, ro ? FILE_ATTRIBUTE_READONLY : 0);
}

namespace {

// Read-only, hidden, system and archive are the DOS byte's own bits.
bool set_dos(HANDLE h, uint8_t attrib) {
  return change_attrs(h, DOS_BITS, DWORD(attrib) & DOS_BITS);
}

} // namespace

bool set_dos_attrib(int fd, uint8_t attrib) {
  HANDLE h = handle_of(fd);
  if (h == INVALID_HANDLE_VALUE)
    return fail_with(EBADF, false);
  return set_dos(h, attrib);
}

bool set_dos_attrib(const dir &d, uint8_t attrib) {
  dir_handle h(d, FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES);
  return h.ok() && set_dos(h.h, attrib);
}

// ---- directories ------------------------------------------------------------

dir::dir(dir &&o) noexcept : h_(o.h_), path_(std::move(o.path_)) {
  o.h_ = nullptr;
  o.path_.clear();
}

dir &dir::operator=(dir &&o) noexcept {
  if (this != &o) {
    reset();
    h_ = o.h_;
    path_ = std::move(o.path_);
    o.h_ = nullptr;
    o.path_.clear();
  }
  return *this;
}

bool dir::ok() const { return h_ != nullptr || !path_.empty(); }

void dir::reset() {
  if (h_ != nullptr)
    CloseHandle(static_cast<HANDLE>(h_));
  h_ = nullptr;
  path_.clear();
}

const dir &cwd() {
  static const dir here = dacc::make(nullptr, L".");
  return here;
}

// Held without delete sharing: while the handle is open, neither this
// directory nor one above it can be renamed or removed, so a name joined to
// its path reaches it, as a name relative to a descriptor does on POSIX.
dir open_dir(const dir &at, const char *name, bool nofollow) {
  std::wstring f;
  if (!full_path(at, name, &f))
    return {};
  const std::wstring p = long_form(f);
  const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (nofollow ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
  const DWORD base = FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
  // Its times and attributes are set through it where that is allowed.
  handle_guard h(CreateFileW(p.c_str(), base | FILE_WRITE_ATTRIBUTES, share, nullptr,
                             OPEN_EXISTING, flags, nullptr));
  if (!h.ok() && GetLastError() == ERROR_ACCESS_DENIED)
    h.h = CreateFileW(p.c_str(), base, share, nullptr, OPEN_EXISTING, flags, nullptr);
  if (!h.ok())
    return fail(dir{});
  BY_HANDLE_FILE_INFORMATION bi;
  if (!GetFileInformationByHandle(h.h, &bi))
    return fail(dir{});
  if (nofollow && (bi.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && is_link(h.h))
    return fail_with(ELOOP, dir{});
  if (!(bi.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    return fail_with(ENOTDIR, dir{});
  return dacc::make(h.release(), std::move(f));
}

bool make_dir(const dir &at, const char *name) {
  std::wstring p;
  if (!sys_path(at, name, &p))
    return false;
  return CreateDirectoryW(p.c_str(), nullptr) ? true : fail(false);
}

// Opening it for adding entries asks the system's own access check.
bool can_write(const dir &d) {
  std::wstring p;
  if (!sys_path(d, ".", &p))
    return false;
  handle_guard h(open_path(p, FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS));
  return h.ok();
}

bool read_dir(const dir &d, const std::function<bool(const char *)> &each) {
  std::wstring p;
  if (!sys_path(d, "*", &p))
    return false;
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW(p.c_str(), &fd);
  if (h == INVALID_HANDLE_VALUE)
    // A drive's root has no "." or "..": empty, it has no entry at all.
    return GetLastError() == ERROR_FILE_NOT_FOUND ? true : fail(false);
  DWORD err = ERROR_NO_MORE_FILES;
  do {
    const wchar_t *n = fd.cFileName;
    if (std::wcscmp(n, L".") == 0 || std::wcscmp(n, L"..") == 0)
      continue;
    if (!each(narrow(n, std::wcslen(n)).c_str()))
      break;
  } while (FindNextFileW(h, &fd) || (err = GetLastError()) != ERROR_NO_MORE_FILES);
  FindClose(h);
  if (err != ERROR_NO_MORE_FILES)
    return fail_with(errno_of(err), false);
  return true;
}

namespace {

// POSIX replaces or removes a read-only file's name freely; Windows only
// once the attribute is off.
bool without_read_only(const std::wstring &p, const std::function<bool()> &op) {
  if (op())
    return true;
  const DWORD e = GetLastError();
  const DWORD a = GetFileAttributesW(p.c_str());
  if (e != ERROR_ACCESS_DENIED || a == INVALID_FILE_ATTRIBUTES) {
    SetLastError(e);
    return fail(false);
  }
  if (a & FILE_ATTRIBUTE_DIRECTORY)
    return fail_with(EISDIR, false);
  if (!(a & FILE_ATTRIBUTE_READONLY) ||
      !SetFileAttributesW(p.c_str(), (a & ~FILE_ATTRIBUTE_READONLY) | FILE_ATTRIBUTE_NORMAL)) {
    SetLastError(e);
    return fail(false);
  }
  if (op())
    return true;
  const DWORD e2 = GetLastError();
  SetFileAttributesW(p.c_str(), a);
  SetLastError(e2);
  return fail(false);
}

} // namespace

bool rename_at(const dir &from, const char *name, const dir &to, const char *to_name,
               bool replace) {
  std::wstring a, b;
  if (!sys_path(from, name, &a) || !sys_path(to, to_name, &b))
    return false;
  if (!replace)
    return MoveFileExW(a.c_str(), b.c_str(), 0) ? true : fail(false);
  return without_read_only(
      b, [&] { return MoveFileExW(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING) != 0; });
}

bool unlink_at(const dir &at, const char *name) {
  std::wstring p;
  if (!sys_path(at, name, &p))
    return false;
  return without_read_only(p, [&] { return DeleteFileW(p.c_str()) != 0; });
}

// ---- interruption -------------------------------------------------------------

namespace {

// The console's handler runs on a thread of its own while the main thread
// goes on, so the slots are shared under a lock, which the handler keeps
// until the process is gone.
struct pending_file {
  std::wstring path;
  bool pending = false;
};
constexpr int SLOTS = 8;
constexpr size_t NAME_MAX_LEN = 63; // as on POSIX, where the slot is fixed
pending_file slots[SLOTS];
SRWLOCK slots_lock = SRWLOCK_INIT;
int guards = 0; // made on the main thread only
void (*old_term)(int) = SIG_DFL;

// Ends the process the way an unhandled interrupt would, less the files.
[[noreturn]] void remove_and_end(int status) {
  AcquireSRWLockExclusive(&slots_lock);
  for (auto &s : slots)
    if (s.pending)
      DeleteFileW(s.path.c_str()); // still open: gone when the handle closes
  TerminateProcess(GetCurrentProcess(), UINT(status));
  for (;;)
    Sleep(INFINITE);
}

constexpr int HANGUP = 1; // SIGHUP's number, for the shell's 128 + signal

// A Ctrl+C ignored by the parent (SetConsoleCtrlHandler(NULL, TRUE), which
// children inherit) never reaches a handler, so it stays ignored.
BOOL WINAPI on_console_event(DWORD ev) {
  switch (ev) {
  case CTRL_C_EVENT:
  case CTRL_BREAK_EVENT:
    remove_and_end(128 + SIGINT);
  case CTRL_CLOSE_EVENT:
  case CTRL_LOGOFF_EVENT:
  case CTRL_SHUTDOWN_EVENT:
    remove_and_end(128 + HANGUP);
  default:
    return FALSE;
  }
}

// SIGTERM exists in the C runtime only, through raise().
extern "C" void cartsift_on_term(int sig) { remove_and_end(128 + sig); }

} // namespace

int remove_on_interrupt(const dir &at, const char *name) {
  if (std::strlen(name) > NAME_MAX_LEN)
    return fail_with(ENAMETOOLONG, -1);
  std::wstring p;
  if (!sys_path(at, name, &p))
    return -1;
  AcquireSRWLockExclusive(&slots_lock);
  int k = 0;
  while (k < SLOTS && slots[k].pending)
    k++;
  if (k < SLOTS) {
    slots[k].path = std::move(p);
    slots[k].pending = true;
  }
  ReleaseSRWLockExclusive(&slots_lock);
  return k < SLOTS ? k : fail_with(EMFILE, -1);
}

void forget_on_interrupt(int slot) {
  if (slot < 0 || slot >= SLOTS)
    return;
  AcquireSRWLockExclusive(&slots_lock);
  slots[slot].pending = false;
  ReleaseSRWLockExclusive(&slots_lock);
}

interrupt_guard::interrupt_guard() {
  if (guards++ > 0)
    return;
  SetConsoleCtrlHandler(on_console_event, TRUE);
  old_term = ::signal(SIGTERM, cartsift_on_term);
  if (old_term == SIG_IGN)
    ::signal(SIGTERM, SIG_IGN);
}

interrupt_guard::~interrupt_guard() {
  if (--guards > 0)
    return;
  SetConsoleCtrlHandler(on_console_event, FALSE);
  ::signal(SIGTERM, old_term == SIG_ERR ? SIG_DFL : old_term);
}

// ---- terminal, command line, process, calendar ----------------------------------

bool is_terminal(int fd) {
  DWORD mode;
  HANDLE h = handle_of(fd);
  return h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0;
}

int terminal_width(int fd) {
  CONSOLE_SCREEN_BUFFER_INFO ci;
  HANDLE h = handle_of(fd);
  if (h == INVALID_HANDLE_VALUE || !GetConsoleScreenBufferInfo(h, &ci))
    return 0;
  return ci.srWindow.Right - ci.srWindow.Left + 1;
}

void utf8_args(int *argc, char ***argv) {
  // First thing in main: the standard streams carry bytes, never CR LF.
  for (int fd : {STDIN, STDOUT, STDERR})
    _setmode(fd, _O_BINARY);
  static std::vector<std::string> args;
  static std::vector<char *> ptrs;
  int n = 0;
  wchar_t **w = CommandLineToArgvW(GetCommandLineW(), &n);
  if (w == nullptr)
    return; // the runtime's own, in the ANSI code page
  args.clear();
  for (int i = 0; i < n; i++)
    args.push_back(narrow(w[i], std::wcslen(w[i])));
  LocalFree(w);
  ptrs.clear();
  for (auto &a : args)
    ptrs.push_back(a.data());
  ptrs.push_back(nullptr);
  *argc = n;
  *argv = ptrs.data();
}

bool write_text(FILE *f, const char *s, size_t n) {
  const int fd = _fileno(f);
  // Whether the standard streams are consoles is asked once: a listing
  // calls here for every line.
  static signed char console[3] = {-1, -1, -1};
  HANDLE h = handle_of(fd);
  bool on_console;
  if (fd >= 0 && fd < 3 && console[fd] >= 0) {
    on_console = console[fd] == 1;
  } else {
    DWORD mode;
    on_console = h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode);
    if (fd >= 0 && fd < 3)
      console[fd] = on_console ? 1 : 0;
  }
  if (!on_console)
    return std::fwrite(s, 1, n, f) == n;
  // What the stream holds must come out first.
  if (std::fflush(f) != 0)
    return false;
  std::wstring w;
  widen(s, n, &w);
  for (size_t done = 0; done < w.size();) {
    DWORD put = 0;
    const DWORD want = DWORD(std::min<size_t>(w.size() - done, 1u << 14));
    if (!WriteConsoleW(h, w.data() + done, want, &put, nullptr) || put == 0)
      return fail(false);
    done += put;
  }
  return true;
}

const char *null_device() { return "NUL"; }

long process_id() { return long(GetCurrentProcessId()); }

bool local_time(int64_t t, std::tm *tm) {
  const __time64_t tt = t;
  return _localtime64_s(tm, &tt) == 0;
}

bool utc_time(int64_t t, std::tm *tm) {
  const __time64_t tt = t;
  return _gmtime64_s(tm, &tt) == 0;
}

namespace {

// What utf8_conversions puts back: the thread's locale setting and its
// character type.
struct saved_locale {
  int per_thread;
  std::string ctype;
};

} // namespace

// Only runtimes that know UTF-8 locales (the Universal CRT) take ".UTF-8";
// the older msvcrt.dll refuses it, and ok() is false there.
utf8_conversions::utf8_conversions() {
  auto *s = new saved_locale{_configthreadlocale(_ENABLE_PER_THREAD_LOCALE), {}};
  const char *cur = ::setlocale(LC_CTYPE, nullptr);
  s->ctype = cur ? cur : "C";
  if (::setlocale(LC_CTYPE, ".UTF-8") != nullptr || ::setlocale(LC_CTYPE, ".utf8") != nullptr) {
    loc_ = s;
    old_ = s;
    return;
  }
  _configthreadlocale(s->per_thread);
  delete s;
}

utf8_conversions::~utf8_conversions() {
  if (loc_) {
    auto *s = static_cast<saved_locale *>(old_);
    ::setlocale(LC_CTYPE, s->ctype.c_str());
    _configthreadlocale(s->per_thread);
    delete s;
  }
}

} // namespace cartsift::platform

#endif // _WIN32
