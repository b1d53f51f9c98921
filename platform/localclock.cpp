#include "platform/localclock.h"

#include <time.h>

#include <cerrno>

namespace drv {

int SetLocalClock(const DateTimeParts& local) {
    tm t{};
    t.tm_year = local.year - 1900;
    t.tm_mon = local.month - 1;
    t.tm_mday = local.day;
    t.tm_hour = local.hour;
    t.tm_min = local.minute;
    t.tm_sec = local.second;
    t.tm_isdst = -1;
    errno = 0;
    const time_t seconds = ::mktime(&t);
    if (seconds == static_cast<time_t>(-1) && errno != 0) return errno;
    const timespec ts{seconds, static_cast<long>(local.msec) * 1000000L};
    return ::clock_settime(CLOCK_REALTIME, &ts) == 0 ? 0 : errno;
}

}  // namespace drv
