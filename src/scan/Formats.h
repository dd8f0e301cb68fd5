#pragma once
// The display texts every file system shares: sizes and dates.
#include <cstdint>
#include <ctime>
#include <string>

namespace vel {

// "%.2f GB", "%.2f MB", "%.2f KB" or "%lld Bytes".
std::string sizeText(std::int64_t bytes);

// Broken-down calendar time, as shown.
struct CalendarTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// "%02d/%02d/%d  %02d:%02d AM" (hour below 13, unchanged) or "... PM" (hour - 12).
std::string dateText(const CalendarTime& t);
// "%02d/%02d/%d " (dates without a time of day).
std::string dateOnlyText(const CalendarTime& t);

// NTFS time (100 ns since 1601 UTC) in local calendar time, by the current time zone's rules.
CalendarTime filetimeToLocal(std::uint64_t filetime);
// Unix seconds in local calendar time.
CalendarTime unixToLocal(std::int64_t seconds);

}  // namespace vel
