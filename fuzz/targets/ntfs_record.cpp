// One MFT record (1024 or 4096 bytes, by the input's size) through every record decoder, and
// the input's first sector as a boot sector.
#include <cstring>
#include <vector>

#include "fs/ntfs/NtfsRecord.h"

using namespace vel::ntfsfmt;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::uint32_t recordSize = size > kRecordSize ? kMaxRecordSize : kRecordSize;
    std::vector<std::uint8_t> record(recordSize, 0);
    std::memcpy(record.data(), data, std::min<std::size_t>(size, recordSize));
    BootGeometry g;
    decodeBootSector(record.data(), g);
    recordSizeOf(record.data());
    applyFixups(record.data(), recordSize);
    for (const AttributeRef& a : attributeHeaders(record.data(), recordSize)) {
        attributeRuns(record.data(), a);
        ValueRef v = residentValue(record.data(), a);
        FileNameInfo fn;
        decodeFileName(v, fn);
        if (a.type == kAttributeList && v.data) collectAttributeList(v.data, v.length);
    }
    chooseName(record.data(), recordSize);
    describeData(record.data(), recordSize);
    readTimes(record.data(), recordSize);
    baseRecordOf(record.data());
    return 0;
}
