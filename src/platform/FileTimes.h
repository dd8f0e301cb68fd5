#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace vel {

// A host file time: seconds and nanoseconds since 1970-01-01 UTC.
struct HostTime {
    std::int64_t seconds = 0;
    std::uint32_t nanoseconds = 0;
    bool operator==(const HostTime&) const = default;
};

// NTFS time (100 ns units since 1601-01-01 UTC).
HostTime fromFiletime(std::uint64_t filetime);
// A calendar time taken as UTC without conversion: what file systems that record local time
// give the host (the numbers on disk become the file's UTC time).
HostTime fromCalendarAsUtc(int year, int month, int day, int hour, int minute, int second,
                           std::uint32_t nanoseconds = 0);

// Sets access and modification time (Linux has no settable creation time); missing ones stay.
bool setFileTimes(const std::string& path, std::optional<HostTime> access,
                  std::optional<HostTime> modification);

}  // namespace vel
