#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace drv {

// A point in time or an interval as a count of days since 1899-12-30; the fraction is the local time of day.
// 0.0 lies in the distant past; one second is 1/86400.
using TDateTime = double;

constexpr TDateTime kOneSecond = 1.0 / 86400.0;

struct DateTimeParts {
    int year = 1899, month = 12, day = 30;
    int hour = 0, minute = 0, second = 0, msec = 0;
};

// The local wall-clock time now.
TDateTime Now();
// A source of "now"; tests hand in their own.
using NowSource = std::function<TDateTime()>;

TDateTime EncodeDateTime(const DateTimeParts& parts);
// Splits a value into calendar date and time of day, rounded to the millisecond.
// Fails (nullopt) for values that are not finite or lie outside years 1..9999.
std::optional<DateTimeParts> DecodeDateTime(TDateTime value);

// Reads a time of day written "hh:mm:ss" or "hh:mm" (surrounding blanks allowed) as a fraction of a day.
// Hours must be below 24, minutes and seconds below 60; anything else gives nullopt.
std::optional<TDateTime> ParseTimeText(std::string_view text);

// The short date, a space and the long time ("09.12.2026 5:07:03"). With omitMidnight the time is left out
// when the value falls exactly on midnight.
std::string FormatDateTime(TDateTime value, bool omitMidnight = false);

}  // namespace drv
