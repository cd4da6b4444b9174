// The descriptor guard's close and the fixed ctime() text.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <ctime>

#include "base/base.h"
#include "platform/platform.h"

namespace cartsift {

void close_fd(int fd) { (void)platform::close_file(fd); }

ctime_text ctime32(uint32_t dt) {
  static const char wday[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char mon[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  ctime_text t{};
  struct tm tm {};
  if (!platform::local_time(int64_t(dt), &tm)) { // unsigned: no sign extension
    std::snprintf(t.s, sizeof t.s, "??? ??? ?? ??:??:?? ????\n");
    return t;
  }
  std::snprintf(t.s, sizeof t.s, "%.3s %.3s%3d %.2d:%.2d:%.2d %d\n",
                wday[tm.tm_wday % 7], mon[tm.tm_mon % 12], tm.tm_mday, tm.tm_hour,
                tm.tm_min, tm.tm_sec, 1900 + tm.tm_year);
  return t;
}

namespace {

// Windows keeps these names for devices, in any case and with any
// extension: CON, AUX.TXT and com1.log cannot name a file.
bool device_name(std::string_view stem) {
  const std::string s = ascii_lowered(std::string(stem));
  if (s == "con" || s == "prn" || s == "aux" || s == "nul")
    return true;
  return s.size() == 4 && (s.starts_with("com") || s.starts_with("lpt")) && s[3] >= '1' &&
         s[3] <= '9';
}

} // namespace

bool windows_name(std::string *name) {
  std::string &s = *name;
  bool changed = false;
  for (char &c : s)
    if ((uint8_t(c) >= 0x01 && uint8_t(c) < 0x20) || (c != 0 && std::strchr("<>:\"|?*", c))) {
      c = '_';
      changed = true;
    }
  const size_t stem = std::min(s.find('.'), s.size());
  if (device_name(std::string_view(s).substr(0, stem))) {
    s.insert(stem, 1, '_');
    changed = true;
  }
  // Windows drops a trailing dot or space from a name, which would make
  // "A." and "A" one file.
  if (!s.empty() && (s.back() == '.' || s.back() == ' ')) {
    s.back() = '_';
    changed = true;
  }
  return changed;
}


} // namespace cartsift
