#pragma once
// Where an entry's data goes when it is read off a volume: a file being saved, memory (index
// files, previews, tests), or anything else that takes bytes in order.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/FileTimes.h"
#include "platform/Sha256.h"

namespace vel {

// Where a stretch of an entry's bytes comes from, told by extraction as it reads (for the
// recovery report). Offsets count from the entry's first byte and the volume's first byte.
struct ByteRun {
    enum class Kind : std::uint8_t {
        Data,     // read from the volume at volumeOffset
        Hole,     // zeros by the file system's own record (sparse, never written)
        Missing,  // the record points outside the volume: nothing could be read
    };
    std::uint64_t fileOffset = 0;
    std::int64_t volumeOffset = -1;  // Data only
    std::uint64_t length = 0;
    Kind kind = Kind::Data;
    bool operator==(const ByteRun&) const = default;
};

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
    // Where the bytes about to be written come from; writers that keep no report ignore it.
    virtual void noteRun(const ByteRun& /*run*/) {}
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

// Passes everything on to another writer and hashes what that writer took, holes as the zeros
// they read as: the hash of the file as written, without reading it back.
class HashingWriter final : public EntryWriter {
  public:
    explicit HashingWriter(EntryWriter& next) : next_(next) {}
    bool write(const void* data, std::size_t size) override;
    bool writeZeros(std::uint64_t size) override;
    void setTimes(std::optional<HostTime> access, std::optional<HostTime> modification) override {
        next_.setTimes(access, modification);
    }
    void noteRun(const ByteRun& run) override { next_.noteRun(run); }
    std::string hex() { return hash_.hex(); }

  private:
    EntryWriter& next_;
    Sha256 hash_;
};

}  // namespace vel
