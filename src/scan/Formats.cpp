#include "scan/Formats.h"

#include <charconv>
#include <cstdio>
#include <optional>

#include "platform/FileTimes.h"

namespace vel {

std::string sizeText(std::int64_t bytes) {
    char buf[64];
    double y = static_cast<double>(bytes);
    if (y / 1073741824.0 >= 1)
        std::snprintf(buf, sizeof buf, "%.2f GB", y / 1073741824.0);
    else if (y / 1048576.0 >= 1)
        std::snprintf(buf, sizeof buf, "%.2f MB", y / 1048576.0);
    else if (y / 1024.0 >= 1)
        std::snprintf(buf, sizeof buf, "%.2f KB", y / 1024.0);
    else
        std::snprintf(buf, sizeof buf, "%lld Bytes", static_cast<long long>(bytes));
    return buf;
}

namespace {
bool twoDigits(int v) {
    return v >= 0 && v <= 99;
}

void appendTwoDigits(std::string& out, int v) {
    out += static_cast<char>('0' + v / 10);
    out += static_cast<char>('0' + v % 10);
}

// "MM/DD/YYYY" as "%02d/%02d/%d" would give it; false for values that need the general path.
bool appendDate(std::string& out, const CalendarTime& t) {
    if (!twoDigits(t.month) || !twoDigits(t.day) || t.year < 0 || t.year > 9999) return false;
    appendTwoDigits(out, t.month);
    out += '/';
    appendTwoDigits(out, t.day);
    out += '/';
    char year[8];
    const auto end = std::to_chars(year, year + sizeof year, t.year).ptr;
    out.append(year, end);
    return true;
}
}  // namespace

// Formatted by hand: a listing shows three of these per entry, and printf was most of its time.
std::string dateText(const CalendarTime& t) {
    // A 12-hour clock: midnight is 12 AM and noon 12 PM.
    const int hour12 = t.hour % 12 == 0 ? 12 : t.hour % 12;
    std::string out;
    out.reserve(24);
    if (twoDigits(hour12) && twoDigits(t.minute) && appendDate(out, t)) {
        out += "  ";
        appendTwoDigits(out, hour12);
        out += ':';
        appendTwoDigits(out, t.minute);
        out += t.hour < 12 ? " AM" : " PM";
        return out;
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, "%02d/%02d/%d  %02d:%02d %s", t.month, t.day, t.year, hour12,
                  t.minute, t.hour < 12 ? "AM" : "PM");
    return buf;
}

std::string dateOnlyText(const CalendarTime& t) {
    std::string out;
    if (appendDate(out, t)) return out + ' ';
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d/%02d/%d ", t.month, t.day, t.year);
    return buf;
}

CalendarTime unixToLocal(std::int64_t seconds) {
    // An entry's times, and neighbouring entries', are often the same second; the zone is part
    // of the key, as tzset() may have changed it.
    thread_local std::int64_t lastSeconds = 0;
    thread_local long lastZone = 0;
    thread_local const char* lastName = nullptr;
    thread_local std::optional<CalendarTime> last;
    if (last && seconds == lastSeconds && lastZone == ::timezone && lastName == ::tzname[1])
        return *last;
    std::time_t tt = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (!localtime_r(&tt, &tm)) return {};
    last = CalendarTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                        tm.tm_hour,        tm.tm_min,     tm.tm_sec};
    lastSeconds = seconds;
    lastZone = ::timezone;
    lastName = ::tzname[1];
    return *last;
}

CalendarTime filetimeToLocal(std::uint64_t filetime) {
    return unixToLocal(fromFiletime(filetime).seconds);
}

}  // namespace vel
