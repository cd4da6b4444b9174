// The descriptor guard's close and the fixed ctime() text.
#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "base/base.h"

namespace cartsift {

void close_fd(int fd) { ::close(fd); }

ctime_text ctime32(uint32_t dt) {
  static const char wday[7][4] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char mon[12][4] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  ctime_text t{};
  time_t tt = static_cast<time_t>(dt); // unsigned: no sign extension
  struct tm tm {};
  if (localtime_r(&tt, &tm) == nullptr) {
    std::snprintf(t.s, sizeof t.s, "??? ??? ?? ??:??:?? ????\n");
    return t;
  }
  std::snprintf(t.s, sizeof t.s, "%.3s %.3s%3d %.2d:%.2d:%.2d %d\n",
                wday[tm.tm_wday % 7], mon[tm.tm_mon % 12], tm.tm_mday, tm.tm_hour,
                tm.tm_min, tm.tm_sec, 1900 + tm.tm_year);
  return t;
}

} // namespace cartsift
