// Text for a reader, through the platform's console path.
#include "cli/cli.h"

namespace cartsift::cli {

void text(FILE *f, std::string_view s) {
  if (!s.empty())
    platform::write_text(f, s.data(), s.size());
}

void vtextf(FILE *f, const char *fmt, va_list ap) {
  char small[512];
  va_list again;
  va_copy(again, ap);
  const int n = std::vsnprintf(small, sizeof small, fmt, ap);
  if (n < 0) {
    va_end(again);
    return;
  }
  if (size_t(n) < sizeof small) {
    text(f, std::string_view(small, size_t(n)));
  } else {
    std::string big(size_t(n) + 1, '\0');
    std::vsnprintf(big.data(), big.size(), fmt, again);
    big.pop_back();
    text(f, big);
  }
  va_end(again);
}

void textf(FILE *f, const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  vtextf(f, fmt, ap);
  va_end(ap);
}

} // namespace cartsift::cli
