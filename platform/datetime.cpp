#include "platform/datetime.h"

#include <time.h>

#include <cmath>
#include <cstdint>
#include <cstdio>

namespace drv {
namespace {

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(y + (month <= 2));
}

const std::int64_t kEpochShift = DaysFromCivil(1899, 12, 30);  // negative: 1899 lies before 1970

}  // namespace

TDateTime EncodeDateTime(const DateTimeParts& p) {
    const double days = static_cast<double>(DaysFromCivil(p.year, static_cast<unsigned>(p.month),
                                                          static_cast<unsigned>(p.day)) -
                                            kEpochShift);
    const double ms = ((p.hour * 60.0 + p.minute) * 60.0 + p.second) * 1000.0 + p.msec;
    return days + ms / 86400000.0;
}

std::optional<DateTimeParts> DecodeDateTime(TDateTime value) {
    if (!std::isfinite(value) || value < -693593.0 || value > 2958466.0) return std::nullopt;
    double whole = std::trunc(value);
    double frac = std::fabs(value - whole);
    std::int64_t ms = std::llround(frac * 86400000.0);
    if (ms >= 86400000) {  // rounding carried into the next day
        ms -= 86400000;
        whole += value < 0 ? -1.0 : 1.0;
    }
    DateTimeParts p;
    CivilFromDays(static_cast<std::int64_t>(whole) + kEpochShift, p.year, p.month, p.day);
    p.msec = static_cast<int>(ms % 1000);
    ms /= 1000;
    p.second = static_cast<int>(ms % 60);
    ms /= 60;
    p.minute = static_cast<int>(ms % 60);
    p.hour = static_cast<int>(ms / 60);
    return p;
}

TDateTime Now() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    localtime_r(&ts.tv_sec, &local);
    DateTimeParts p;
    p.year = local.tm_year + 1900;
    p.month = local.tm_mon + 1;
    p.day = local.tm_mday;
    p.hour = local.tm_hour;
    p.minute = local.tm_min;
    p.second = local.tm_sec;
    p.msec = static_cast<int>(ts.tv_nsec / 1000000);
    return EncodeDateTime(p);
}

std::optional<TDateTime> ParseTimeText(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    int fields[3] = {0, 0, 0};
    int count = 0;
    std::size_t i = 0;
    while (count < 3) {
        if (i >= text.size() || text[i] < '0' || text[i] > '9') return std::nullopt;
        long v = 0;
        std::size_t digits = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            v = v * 10 + (text[i] - '0');
            if (++digits > 4) return std::nullopt;
            ++i;
        }
        fields[count++] = static_cast<int>(v);
        if (i == text.size()) break;
        if (text[i] != ':') return std::nullopt;
        ++i;
        if (count == 3) return std::nullopt;
    }
    if (count < 2) return std::nullopt;
    if (fields[0] >= 24 || fields[1] >= 60 || fields[2] >= 60) return std::nullopt;
    return (fields[0] * 3600.0 + fields[1] * 60.0 + fields[2]) / 86400.0;
}

std::string FormatDateTime(TDateTime value, bool omitMidnight) {
    const auto p = DecodeDateTime(value);
    if (!p) return std::string();
    char buf[64];
    if (omitMidnight && p->hour == 0 && p->minute == 0 && p->second == 0 && p->msec == 0) {
        std::snprintf(buf, sizeof buf, "%02d.%02d.%04d", p->day, p->month, p->year);
    } else {
        std::snprintf(buf, sizeof buf, "%02d.%02d.%04d %d:%02d:%02d", p->day, p->month, p->year, p->hour, p->minute,
                      p->second);
    }
    return buf;
}

}  // namespace drv
