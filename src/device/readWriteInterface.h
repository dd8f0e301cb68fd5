#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

namespace vel {

// The abstract sector reader. Positions given to seekTo are measured from baseOffset, the first
// byte of the volume being worked on, so parsers address their volume from byte 0.
class readWriteInterface {
  public:
    virtual ~readWriteInterface() = default;
    virtual bool openDevice(const std::string& path) = 0;
    // Reads count bytes at the current position. Base version: reads nothing, reports success.
    virtual bool readBytes(void* buffer, std::uint32_t count);
    // position = offset + baseOffset. Base version: reports success.
    virtual bool seekTo(std::int64_t offset, int origin = SEEK_SET);

    // Seek to a volume-relative byte offset and read there.
    bool readAt(std::int64_t offset, void* buffer, std::uint32_t count) {
        return seekTo(offset, SEEK_SET) && readBytes(buffer, count);
    }

    int deviceHandle = -1;
    std::int64_t baseOffset = 0;
};

}  // namespace vel
