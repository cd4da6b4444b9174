// The one buffered output path of the classic face, and standard input for
// its two questions.
#include <cstdarg>
#include <cstdio>

#include "base/base.h"

namespace cartsift {

uint8_t buf[BUF_SIZE];

namespace {

FILE *out_fp = nullptr; // null until first use: stdout with a large buffer
FILE *in_fp = nullptr;  // null: stdin

FILE *target() {
  if (out_fp == nullptr) {
    // One big buffer for all listing output; in_char() flushes it before
    // any read of standard input, so prompts are still seen.
    static char stdout_buf[1 << 16];
    setvbuf(stdout, stdout_buf, _IOFBF, sizeof stdout_buf);
    out_fp = stdout;
  }
  return out_fp;
}

} // namespace

void out(const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vfprintf(target(), fmt, ap);
  va_end(ap);
}

void out_bytes(const void *p, size_t n) {
  if (n > 0)
    fwrite(p, 1, n, target());
}

void out_char(char c) { putc(c, target()); }

void out_flush() { fflush(target()); }

FILE *out_stream(FILE *f) {
  FILE *prev = target();
  fflush(prev);
  out_fp = f;
  return prev;
}

int in_char() {
  out_flush();
  return getc(in_fp ? in_fp : stdin);
}

FILE *in_stream(FILE *f) {
  FILE *prev = in_fp ? in_fp : stdin;
  in_fp = f;
  return prev;
}

} // namespace cartsift
