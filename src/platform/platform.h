// Everything that differs from one operating system to the next, below
// every other layer: files and the directories of an output tree, the
// terminal, the command line, interruption, the process and the calendar.
// posix.cpp implements it for Linux, macOS and the BSDs; a Windows build
// brings its own implementation of the same calls, made with the
// wide-character Win32 calls, and converts names there and nowhere else.
//
// Names are UTF-8 (on POSIX, the bytes as they are). Calls that fail return
// -1, false or an empty dir, and leave errno set.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#ifdef _WIN32
#include <string>
#endif

namespace cartsift::platform {

// ---- files ------------------------------------------------------------------
//
// An open file is an int descriptor: the kernel's on POSIX, the C runtime's
// on Windows, made over the HANDLE with _open_osfhandle and turned back into
// it with _get_osfhandle. It stays a small number that nothing else open
// has, which the image layer's handle table is indexed by. -1 is none.

constexpr int STDIN = 0, STDOUT = 1, STDERR = 2;

// Whether the files written here are Windows files, with its rules for names.
#ifdef _WIN32
constexpr bool WINDOWS = true;
#else
constexpr bool WINDOWS = false;
#endif

class dir;

// How open_file opens, combined with |. Every descriptor stays out of
// child processes.
constexpr unsigned OPEN_READ = 0;     // read only
constexpr unsigned OPEN_RDWR = 1;     // read and write
constexpr unsigned OPEN_CREATE = 2;   // made when missing, with perms
constexpr unsigned OPEN_EXCL = 4;     // with OPEN_CREATE: EEXIST when the name is taken
constexpr unsigned OPEN_NOFOLLOW = 8; // a symbolic link (Windows: reparse point) fails

// name inside directory at; perms are POSIX permission bits, less the
// creation mask, of which Windows keeps only the owner's write bit.
int open_file(const dir &at, const char *name, unsigned flags, unsigned perms = 0666);
// A descriptor on the null device: held only so that its number is taken.
int open_null();
// False when the system reports that earlier writes failed (NFS does so).
bool close_file(int fd);

// Until n bytes or the end of the file, from at (at < 0: from the
// descriptor's own position, which moves); short only at the end. The bytes
// read; -1 when a read failed before any.
int64_t read_full(int fd, void *dst, size_t n, int64_t at);
// At the descriptor's position: the bytes written before the first failure.
size_t write_some(int fd, const void *p, size_t n);
// All n bytes at offset at, the position untouched; false on failure.
bool write_at(int fd, const void *p, size_t n, int64_t at);
int64_t seek(int fd, int64_t off, int whence); // SEEK_SET and so on; -1 on failure
bool truncate(int fd, int64_t len);
bool sync(int fd);

// Up to n bytes from in at *at to out at its own position inside the
// system, without passing them through the process: the bytes copied (*at
// and out's position moved by as many), 0 at the end of in, COPY_REFUSED
// when the system will not copy between these two files (the caller goes on
// with reads and writes, and need not ask again for the same pair of file
// systems), -1 on a failure of either file.
constexpr int64_t COPY_REFUSED = -2;
int64_t copy_range(int in, int64_t *at, int out, size_t n);

enum class file_kind { regular, directory, other };

struct file_info {
  file_kind kind = file_kind::other;
  int64_t size = 0;
  bool writable = false; // by its owner (Windows: not read-only)
  // When its data or status last changed, in nanoseconds since 1970 UTC
  // (Windows: ChangeTime).
  int64_t changed_ns = 0;
  // Together they tell one file from another, whatever names lead to it
  // (Windows: the volume's serial number and the file index).
  uint64_t dev = 0, ino = 0;
};

bool stat_file(int fd, file_info *fi);
// With follow false, a symbolic link is described itself (kind other).
bool stat_at(const dir &at, const char *name, file_info *fi, bool follow);

// Seconds since 1970 UTC. Where the system cannot set a creation time
// (POSIX), create is not used; a negative one is never set.
struct file_times {
  int64_t access = 0, modify = 0, create = -1;
};
bool set_times(int fd, const file_times &t);
bool set_times(const dir &d, const file_times &t);
// The name itself, never what a symbolic link points to.
bool set_times_at(const dir &at, const char *name, const file_times &t);

// POSIX permission bits; Windows keeps the owner's write bit only, as the
// read-only attribute. The _at form follows a symbolic link, as chmod does.
unsigned creation_mask(); // the umask; 0 where there is none
bool set_perms(int fd, unsigned perms);
bool set_perms_at(const dir &at, const char *name, unsigned perms);

// The DOS attribute byte. POSIX has no such thing: it is kept as the
// user.DOSATTRIB extended attribute, as text ("0x21"), the way Samba and
// Wine read it, and fails with ENOTSUP where the system has none. Windows
// sets the file's own attributes.
bool set_dos_attrib(int fd, uint8_t attrib);
bool set_dos_attrib(const dir &d, uint8_t attrib);

// ---- directories --------------------------------------------------------------

// An open directory, closed with it; names inside it are opened relative to
// it, so that a directory renamed or replaced by a link meanwhile cannot
// send them elsewhere. cwd() is the current directory, which a name may
// also hold several levels of ('/' between them).
class dir {
public:
  dir() = default;
  dir(const dir &) = delete;
  dir &operator=(const dir &) = delete;
  dir(dir &&o) noexcept;
  dir &operator=(dir &&o) noexcept;
  ~dir() { reset(); }
  bool ok() const;
  void reset(); // closes it

private:
  friend struct dir_access; // the implementation's way in
#ifdef _WIN32
  void *h_ = nullptr;  // HANDLE, opened with FILE_FLAG_BACKUP_SEMANTICS
  std::wstring path_;  // what names inside are joined to (Win32 has no *at calls)
#else
  int fd_ = -1;
#endif
};
const dir &cwd();

// nofollow: a symbolic link (Windows: reparse point) fails with ELOOP.
dir open_dir(const dir &at, const char *name, bool nofollow);
bool make_dir(const dir &at, const char *name); // EEXIST when the name is taken
// Whether this process may make and remove names in d.
bool can_write(const dir &d);
// Calls each with every name in d but "." and "..", until it returns false.
bool read_dir(const dir &d, const std::function<bool(const char *name)> &each);
// A name in from becomes to_name in to. Unless replace, a name there
// already stays, and the call fails with EEXIST.
bool rename_at(const dir &from, const char *name, const dir &to, const char *to_name,
               bool replace);
bool unlink_at(const dir &at, const char *name);

// ---- interruption ---------------------------------------------------------------

// A file being written under a temporary name is removed when the process
// is interrupted before it is put in place: its slot, or -1 (EMFILE) when
// the few there are all hold one. at must stay open until forget.
int remove_on_interrupt(const dir &at, const char *name);
void forget_on_interrupt(int slot);

// While one lives, SIGINT, SIGTERM and SIGHUP (Windows: Ctrl+C, Ctrl+Break
// and the console closing) remove the files registered above and then end
// the process as they would have: 128 + the signal to a shell. A signal
// ignored when the first guard is made (nohup) stays ignored. Guards nest.
class interrupt_guard {
public:
  interrupt_guard();
  ~interrupt_guard();
  interrupt_guard(const interrupt_guard &) = delete;
  interrupt_guard &operator=(const interrupt_guard &) = delete;
};

// ---- terminal, command line, process, calendar ----------------------------------

bool is_terminal(int fd);
int terminal_width(int fd); // columns; 0 when unknown or no terminal

// The arguments as UTF-8. POSIX passes them on as they came; Windows makes
// them anew from GetCommandLineW, kept for the life of the process.
void utf8_args(int *argc, char ***argv);
// UTF-8 text to f: on a Windows console as wide characters (WriteConsoleW),
// elsewhere the bytes as they are. False when it could not be written.
bool write_text(FILE *f, const char *s, size_t n);
// The null device's name, for fopen.
const char *null_device();

long process_id();

// The broken-down time of t, local or UTC; false when t is out of range.
bool local_time(int64_t t, std::tm *tm);
bool utc_time(int64_t t, std::tm *tm);

// While one lives, the calling thread converts multibyte text (mbrtowc and
// the like, as libarchive does for names) as UTF-8, whatever the process's
// locale; ok() is false when the system has no UTF-8 locale.
class utf8_conversions {
public:
  utf8_conversions();
  ~utf8_conversions();
  utf8_conversions(const utf8_conversions &) = delete;
  utf8_conversions &operator=(const utf8_conversions &) = delete;
  bool ok() const { return loc_ != nullptr; }

private:
  void *loc_ = nullptr, *old_ = nullptr;
};

} // namespace cartsift::platform
