#pragma once
// The MD5 and SHA-1 of a source's bytes, to check an image against the hashes stored in it.
#include <cstdint>
#include <functional>
#include <string>

#include "device/readWriteInterface.h"

namespace vel {

struct MediaDigest {
    std::string md5, sha1;              // lowercase hex
    std::uint64_t unreadableBytes = 0;  // read as zeros on the way
    bool stopped = false;               // progress asked to stop; the hashes are partial
};

// Reads [0, byteSize()) in order. progress(done, total) is told after every piece and may
// return false to stop.
MediaDigest digestMedia(const readWriteInterface& source,
                        const std::function<bool(std::int64_t, std::int64_t)>& progress = {});

}  // namespace vel
