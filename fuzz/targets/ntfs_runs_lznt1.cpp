// Run lists and LZNT1 units: the first byte picks which, the rest is the encoded bytes.
#include <vector>

#include "fs/ntfs/Lznt1.h"
#include "fs/ntfs/NtfsRecord.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    if (data[0] & 1) {
        vel::ntfsfmt::decodeRuns(data + 1, size - 1, std::uint64_t{1} << 40);
        return 0;
    }
    // A compression unit of 16 clusters of 4 KiB, the usual size.
    std::vector<std::uint8_t> out(65536);
    vel::DecompressionContext c;
    c.input = data + 1;
    c.inputLength = size - 1;
    c.output = out.data();
    c.outputCapacity = out.size();
    vel::decompressUnit(c);
    if (c.outputCount > c.outputCapacity) __builtin_trap();
    return 0;
}
