#pragma once
// The in-memory source with a log of the reads made through it, for tests that check how much a
// parser reads and where.
#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "device/readWriteInterface.h"

namespace vel::test {

class RecordingSource : public readWriteInterface {
  public:
    template <class... Args>
    explicit RecordingSource(Args&&... args) : source(std::forward<Args>(args)...) {}

    ReadOutcome readAt(std::int64_t offset, void* buffer, std::size_t count) const override {
        reads.emplace_back(offset, count);
        largestRead = std::max(largestRead, count);
        return source.readAt(offset, buffer, count);
    }
    std::int64_t byteSize() const override { return source.byteSize(); }
    const BadSectorList& badSectors() const override { return source.badSectors(); }

    MemorySource source;
    mutable std::vector<std::pair<std::int64_t, std::size_t>> reads;
    mutable std::size_t largestRead = 0;
};

}  // namespace vel::test
