// The base every layer stands on: the run-mode flags, output, little-endian
// decoding, the descriptor guard and the shared scratch buffer.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

namespace cartsift {

static_assert(std::endian::native == std::endian::little,
              "records are read into memory as stored");

// ---- run-mode flag word ---------------------------------------------------

constexpr uint16_t MODE_VERBOSE = 0x0001;
constexpr uint16_t MODE_VVERBOSE = 0x0002;
constexpr uint16_t MODE_TESTS = 0x0004;
constexpr uint16_t MODE_XTRACT = 0x0008;
constexpr uint16_t MODE_CATALOG = 0x0010;
constexpr uint16_t MODE_FORCE = 0x0020;

// ---- output ---------------------------------------------------------------

// printf's format checks. MinGW's compiler takes "printf" for the Microsoft
// runtime's, which knows no %zu or %lld; the stdio MinGW's C++ links
// (__USE_MINGW_ANSI_STDIO) is of GNU's kind, and checked as such.
#ifdef __MINGW32__
#define CARTSIFT_PRINTF(fmt, args) __attribute__((format(gnu_printf, fmt, args)))
#else
#define CARTSIFT_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#endif

// Every listing line goes through out(); the stream is stdout unless a test
// or the fuzzer points it elsewhere. Formats are checked by the compiler.
void out(const char *fmt, ...) CARTSIFT_PRINTF(1, 2);
void out_bytes(const void *p, size_t n); // raw bytes, zero bytes included
void out_char(char c);
void out_flush();
FILE *out_stream(FILE *f); // redirect; returns the previous stream

// Standard input for the two answers the tool asks for. in_char() flushes
// the output first so that a prompt is seen before the read blocks.
int in_char(); // EOF at end of input
FILE *in_stream(FILE *f);

// Values that the format treats as 32-bit print the way a 32-bit build
// printed them, whatever width we hold them in: a -1 offset shows as
// ffffffff under %lx and a block count above 2^31 goes negative under %ld.
constexpr unsigned long x32(int64_t v) { return static_cast<uint32_t>(v); }
constexpr long l32(int64_t v) {
  return static_cast<int32_t>(static_cast<uint32_t>(v));
}

// ---- little-endian decoding -----------------------------------------------

// Widen before shifting: a byte promotes to int, and int << 24 can overflow.
constexpr uint16_t le16(const uint8_t *b) {
  return static_cast<uint16_t>(uint32_t(b[0]) | uint32_t(b[1]) << 8);
}
constexpr uint32_t le32(const uint8_t *b) {
  return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 |
         uint32_t(b[3]) << 24;
}
// tolower() of the C locale, whatever locale the process runs in.
constexpr uint8_t ascii_lower(uint8_t c) { return c >= 'A' && c <= 'Z' ? uint8_t(c + 32) : c; }
// Whether s begins with prefix, letters compared without their case, as in
// the C locale whatever the process's own.
// s with its ASCII letters made lower case, the rest as it stands.
inline std::string ascii_lowered(std::string s) {
  for (char &c : s)
    c = char(ascii_lower(uint8_t(c)));
  return s;
}
constexpr bool starts_with_ci(const char *s, const char *prefix) {
  for (; *prefix != '\0'; s++, prefix++)
    if (ascii_lower(uint8_t(*s)) != ascii_lower(uint8_t(*prefix)))
      return false;
  return true;
}
// A name made one that Windows can hold, for a file or directory written
// there: < > : " | ? * and control characters become '_', as does a dot or
// space at the end, and a device name (CON, aux.txt, LPT1) gets '_' after
// its stem (CON_, aux_.txt). True when it changed.
bool windows_name(std::string *name);
constexpr uint64_t le64(const uint8_t *b) { return le32(b) | uint64_t(le32(b + 4)) << 32; }
constexpr bool fits(size_t size, size_t off, size_t len) {
  return off <= size && len <= size - off; // cannot overflow
}

// ---- descriptors ----------------------------------------------------------

// Owns one descriptor and closes it with Close; callees borrow the plain int.
template <void (*Close)(int)> class unique_fd {
public:
  unique_fd() = default;
  explicit unique_fd(int fd) : fd_(fd) {}
  unique_fd(const unique_fd &) = delete;
  unique_fd &operator=(const unique_fd &) = delete;
  unique_fd(unique_fd &&o) noexcept : fd_(o.release()) {}
  unique_fd &operator=(unique_fd &&o) noexcept {
    if (this != &o)
      reset(o.release());
    return *this;
  }
  ~unique_fd() { reset(); }
  int get() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0 && fd_ != fd)
      Close(fd_);
    fd_ = fd;
  }

private:
  int fd_ = -1;
};

void close_fd(int fd); // close(2), its result of no use to an owner
using fd_guard = unique_fd<close_fd>;

// Thrown where the tool must end the process from deep inside a walk (the
// position query); main() catches it, so every owner still releases.
struct process_end {
  int status;
};

// The shared 1024-byte scratch buffer. A user owns its contents only until the
// next user writes to it; nothing keeps data here across a call.
constexpr size_t BUF_SIZE = 1024;
extern uint8_t buf[BUF_SIZE];

// ctime() text of a 32-bit time value, read as unsigned: the fixed
// 24-character local-time form followed by a newline.
struct ctime_text {
  char s[96]; // 25 used; room for what the compiler cannot rule out
};
ctime_text ctime32(uint32_t dt);

} // namespace cartsift
