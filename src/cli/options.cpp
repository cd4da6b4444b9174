// The command line read as GNU's getopt_long reads it, written out so that
// every system reads it the same way.
#include <cstring>

#include "cli/cli.h"

namespace cartsift::cli {

opt_scan::opt_scan(int argc, char **argv, const char *shorts, const long_opt *longs)
    : argc_(argc), argv_(argv), shorts_(shorts), longs_(longs) {}

int opt_scan::next() {
  arg = nullptr;
  if (cluster_ == nullptr || *cluster_ == '\0') {
    cluster_ = nullptr;
    // Operands may come anywhere; "--" makes all that follow operands.
    for (;; i_++) {
      if (i_ >= argc_)
        return -1;
      const char *a = argv_[i_];
      if (std::strcmp(a, "--") == 0) {
        while (++i_ < argc_)
          operands.emplace_back(argv_[i_]);
        return -1;
      }
      if (a[0] == '-' && a[1] != '\0')
        break;
      operands.emplace_back(a);
    }
    const char *a = argv_[i_++];
    if (a[1] == '-')
      return long_option(a);
    cluster_ = a + 1;
  }
  const char c = *cluster_++;
  const char *at = c == ':' ? nullptr : std::strchr(shorts_, c);
  if (at == nullptr) {
    bad = std::string("-") + c;
    cluster_ = nullptr;
    return '?';
  }
  if (at[1] == ':') {
    // The value: the rest of this argument, else the next one.
    if (*cluster_ != '\0')
      arg = cluster_;
    else if (i_ < argc_)
      arg = argv_[i_++];
    cluster_ = nullptr;
    if (arg == nullptr) {
      bad = std::string("-") + c;
      return ':';
    }
  }
  return uint8_t(c);
}

int opt_scan::long_option(const char *a) {
  bad = a;
  const char *name = a + 2, *eq = std::strchr(name, '=');
  const size_t n = eq ? size_t(eq - name) : std::strlen(name);
  // An exact name, else the one option that the name begins.
  const long_opt *found = nullptr;
  bool ambiguous = false;
  for (const long_opt *l = longs_; l->name != nullptr; l++) {
    if (std::strncmp(l->name, name, n) != 0)
      continue;
    if (l->name[n] == '\0') {
      found = l;
      ambiguous = false;
      break;
    }
    if (found != nullptr && found->val != l->val)
      ambiguous = true;
    found = found ? found : l;
  }
  if (found == nullptr || ambiguous || n == 0 || (eq != nullptr && !found->has_arg))
    return '?';
  if (found->has_arg) {
    if (eq != nullptr)
      arg = eq + 1;
    else if (i_ < argc_)
      arg = argv_[i_++];
    else
      return ':';
  }
  return found->val;
}

} // namespace cartsift::cli
