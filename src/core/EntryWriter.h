#pragma once
// Where an entry's data goes when it is read off a volume: a file being saved, memory (index
// files, previews, tests), or anything else that takes bytes in order.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/FileTimes.h"

namespace vel {

class EntryWriter {
  public:
    virtual ~EntryWriter() = default;
    // Appends bytes; false when they were not taken (the extraction then ends).
    virtual bool write(const void* data, std::size_t size) = 0;
    // Appends zeros: a hole, or what lies past the data a file system says was written.
    virtual bool writeZeros(std::uint64_t size);
    // The times the entry records, for writers that keep them; missing ones are not set.
    virtual void setTimes(std::optional<HostTime> /*access*/,
                          std::optional<HostTime> /*modification*/) {}
};

// Keeps the first `limit` bytes in memory; refuses more, so a reader stops early.
class MemoryWriter final : public EntryWriter {
  public:
    explicit MemoryWriter(std::size_t limit = SIZE_MAX) : limit_(limit) {}
    bool write(const void* data, std::size_t size) override;
    bool writeZeros(std::uint64_t size) override;
    void setTimes(std::optional<HostTime> access, std::optional<HostTime> modification) override {
        access_ = access;
        modification_ = modification;
    }
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }
    // Whether bytes past the limit were offered.
    bool truncated() const { return truncated_; }
    std::optional<HostTime> access() const { return access_; }
    std::optional<HostTime> modification() const { return modification_; }

  private:
    std::size_t limit_;
    std::vector<std::uint8_t> bytes_;
    bool truncated_ = false;
    std::optional<HostTime> access_, modification_;
};

}  // namespace vel
