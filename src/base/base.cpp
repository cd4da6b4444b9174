// The descriptor guard's close and the fixed ctime() text.
#include <cstdio>
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

} // namespace cartsift
