#include "platform/FileTimes.h"

#include <fcntl.h>
#include <sys/stat.h>

namespace vel {

namespace {
constexpr std::int64_t kFiletimeUnixEpoch = 116444736000000000LL;  // 1970 in 100 ns since 1601

std::int64_t daysFromCivil(int y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return static_cast<std::int64_t>(era) * 146097 + static_cast<std::int64_t>(doe) - 719468;
}
}  // namespace

HostTime fromFiletime(std::uint64_t filetime) {
    std::int64_t units = static_cast<std::int64_t>(filetime) - kFiletimeUnixEpoch;
    if (filetime > static_cast<std::uint64_t>(INT64_MAX)) units = INT64_MAX - kFiletimeUnixEpoch;
    std::int64_t seconds = units / 10000000;
    std::int64_t rest = units % 10000000;
    if (rest < 0) {
        rest += 10000000;
        --seconds;
    }
    return {seconds, static_cast<std::uint32_t>(rest * 100)};
}

HostTime fromCalendarAsUtc(int year, int month, int day, int hour, int minute, int second,
                           std::uint32_t nanoseconds) {
    std::int64_t days =
        daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    return {days * 86400 + hour * 3600 + minute * 60 + second, nanoseconds};
}

bool setFileTimes(const std::string& path, std::optional<HostTime> access,
                  std::optional<HostTime> modification) {
    timespec times[2];
    auto fill = [](timespec& ts, const std::optional<HostTime>& t) {
        if (t) {
            ts.tv_sec = static_cast<time_t>(t->seconds);
            ts.tv_nsec = static_cast<long>(t->nanoseconds);
        } else {
            ts.tv_sec = 0;
            ts.tv_nsec = UTIME_OMIT;
        }
    };
    fill(times[0], access);
    fill(times[1], modification);
    return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

}  // namespace vel
