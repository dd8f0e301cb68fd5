// The chunks of a cut-short EWF segment, walked as the salvage walks them, and the names of
// segment and piece sets.
#include <string>
#include <vector>

#include "device/image/EwfChunks.h"
#include "device/image/EwfSource.h"
#include "device/image/SplitRawSource.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte picks the chunk size: 1 to 64 sectors.
    const std::size_t chunk = (data[0] % 64 + 1) * 512;
    std::vector<std::uint8_t> out(chunk);
    for (std::size_t at = 1; at < size;) {
        auto c = vel::ewf::decodeChunk(data + at, size - at, out.data(), chunk);
        if (!c) break;
        if (c->storedBytes == 0 || c->storedBytes > size - at) __builtin_trap();
        at += c->storedBytes;
    }
    // A name that parses names itself again.
    const std::string name(reinterpret_cast<const char*>(data), std::min<std::size_t>(size, 64));
    if (auto n = vel::parseEwfName(name); n && vel::ewfSegmentName(*n, n->number) != name)
        __builtin_trap();
    if (auto n = vel::parseSplitName(name); n && vel::splitPieceName(*n, n->index) != name)
        __builtin_trap();
    return 0;
}
