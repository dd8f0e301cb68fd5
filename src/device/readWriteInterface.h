#pragma once
// Positional, read-only sources: a drive, an image file, a volume inside either, or memory.
// Nothing here has a cursor, so any number of threads may read one source at once.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace vel {

inline constexpr std::int64_t kSectorBytes = 512;

// A sector number's byte offset, saturating instead of overflowing (hostile tables carry huge
// numbers); negative sectors give 0.
inline std::int64_t sectorsToBytes(std::int64_t sector) {
    if (sector <= 0) return 0;
    if (sector > INT64_MAX / kSectorBytes) return INT64_MAX;
    return sector * kSectorBytes;
}

// What one read got. Bytes past the end of the source and unreadable sectors are zeros in the
// caller's buffer; the outcome says how many of each there were.
struct ReadOutcome {
    std::size_t requested = 0;
    std::size_t inSource = 0;           // bytes that lie inside the source
    std::uint64_t unreadableBytes = 0;  // of those, zero-filled because the device failed
    bool complete() const { return inSource == requested && unreadableBytes == 0; }
    // Nothing came from the device: past the end, or every byte unreadable.
    bool nothingRead() const { return inSource == 0 || unreadableBytes >= inSource; }
    explicit operator bool() const { return complete(); }
};

// The sectors of one source that could not be read, remembered across reads.
class BadSectorList {
  public:
    // Adds a sector; true when it was not known before.
    bool add(std::int64_t sector);
    std::int64_t count() const;
    std::vector<std::int64_t> sectors() const;
    bool contains(std::int64_t sector) const;
    // Told of every newly found bad sector (sector, count so far), on the reading thread.
    void setListener(std::function<void(std::int64_t, std::int64_t)> listener);

  private:
    mutable std::mutex mutex_;
    std::set<std::int64_t> sectors_;
    std::function<void(std::int64_t, std::int64_t)> listener_;
};

// The abstract reader every parser, scan and engine reads through.
class readWriteInterface {
  public:
    virtual ~readWriteInterface() = default;
    // Reads count bytes at offset (from this source's first byte). Never leaves stale bytes:
    // whatever could not be read is zeros.
    virtual ReadOutcome readAt(std::int64_t offset, void* buffer, std::size_t count) const = 0;
    // Size in bytes; 0 when it cannot be told.
    virtual std::int64_t byteSize() const = 0;
    std::int64_t sectorCount() const { return byteSize() / kSectorBytes; }
    // Numbered as sectors of the device underneath (for a volume: of its drive or image).
    virtual const BadSectorList& badSectors() const = 0;
};

// Counts the unreadable bytes that reads on this thread met while the scope lives (scopes nest;
// the innermost one counts), and the bytes asked for past the end of the source (a truncated
// image). How a save learns that a file's data touched a bad sector or is not there at all.
class ReadDamageScope {
  public:
    using Ranges = std::vector<std::pair<std::int64_t, std::int64_t>>;
    ReadDamageScope();
    ~ReadDamageScope();
    ReadDamageScope(const ReadDamageScope&) = delete;
    ReadDamageScope& operator=(const ReadDamageScope&) = delete;
    std::uint64_t unreadableBytes() const { return unreadable_; }
    // Device byte ranges [first, last) that read as zeros, merged where adjacent.
    const Ranges& ranges() const { return ranges_; }
    std::uint64_t missingBytes() const { return missing_; }
    // Byte ranges [first, last) past the end of the source that were asked for.
    const Ranges& missingRanges() const { return missingRanges_; }

    // Called by sources for every sector they zero-filled.
    static void noteUnreadable(std::int64_t deviceOffset, std::int64_t bytes);
    // Called by sources for bytes asked for outside themselves.
    static void noteMissing(std::int64_t deviceOffset, std::int64_t bytes);

  private:
    static void add(Ranges& ranges, std::int64_t offset, std::int64_t bytes);
    std::uint64_t unreadable_ = 0, missing_ = 0;
    Ranges ranges_, missingRanges_;
    ReadDamageScope* outer_;
};

// A source whose reads may fail part way (a disk, an image). A failed read is retried in smaller
// pieces, down to single sectors; sectors that still fail read as zeros and are remembered.
class SectorSource : public readWriteInterface {
  public:
    ReadOutcome readAt(std::int64_t offset, void* buffer, std::size_t count) const final;
    std::int64_t byteSize() const override { return size_; }
    const BadSectorList& badSectors() const override { return bad_; }
    BadSectorList& badSectors() { return bad_; }

  protected:
    // Reads up to count bytes at offset (inside the source): the number read, 0 at the end, or
    // -1 when the device failed.
    virtual std::int64_t readSome(std::int64_t offset, void* buffer, std::size_t count) const = 0;
    void setByteSize(std::int64_t size) { size_ = size; }

  private:
    // Reads [offset, offset + count) fully; false when the device failed somewhere in it.
    bool readWhole(std::int64_t offset, unsigned char* out, std::size_t count) const;
    std::uint64_t readPieces(std::int64_t offset, unsigned char* out, std::size_t count) const;

    std::int64_t size_ = 0;
    mutable BadSectorList bad_;
};

// Bytes held in memory, with sectors that can be made to fail: the source of tests and fuzzers.
// Either one byte vector, or a sparse disk of a given size whose unwritten sectors are zeros.
class MemorySource final : public SectorSource {
  public:
    struct Sparse {
        std::int64_t bytes = 0;
    };
    MemorySource() = default;
    explicit MemorySource(std::vector<std::uint8_t> bytes);
    explicit MemorySource(const std::string& bytes);
    explicit MemorySource(Sparse disk);

    // Reads touching these sectors fail, as a failing disk's would.
    void failSector(std::int64_t sector) { failing_.insert(sector); }
    void failSectors(std::int64_t first, std::int64_t count) {
        for (std::int64_t s = first; s < first + count; ++s) failing_.insert(s);
    }
    void failAll(bool on = true) { failAll_ = on; }

    // The byte vector (dense sources only); call resized() after changing its length.
    std::vector<std::uint8_t>& bytes() { return bytes_; }
    void resized() { setByteSize(static_cast<std::int64_t>(bytes_.size())); }
    // One 512-byte sector of a sparse disk, created as zeros on first use.
    std::vector<std::uint8_t>& sector(std::int64_t n);
    // Writes bytes at a byte offset (either kind).
    void put(std::int64_t offset, const void* data, std::size_t count);

  protected:
    std::int64_t readSome(std::int64_t offset, void* buffer, std::size_t count) const override;

  private:
    bool sparse_ = false;
    bool failAll_ = false;
    std::vector<std::uint8_t> bytes_;
    std::map<std::int64_t, std::vector<std::uint8_t>> sectors_;
    std::set<std::int64_t> failing_;
};

// A volume: the range of its source that starts at a byte offset. Reads are volume-relative.
// The length is what the volume is thought to cover (0 when unknown); reads past it are still
// served, since recorded sizes are often rounded guesses.
class VolumeView final : public readWriteInterface {
  public:
    VolumeView() = default;
    VolumeView(const readWriteInterface* source, std::int64_t start, std::int64_t length = 0)
        : source_(source), start_(start), length_(length) {}
    ReadOutcome readAt(std::int64_t offset, void* buffer, std::size_t count) const override;
    std::int64_t byteSize() const override;
    const BadSectorList& badSectors() const override;
    std::int64_t start() const { return start_; }
    std::int64_t length() const { return length_; }
    const readWriteInterface* source() const { return source_; }

  private:
    const readWriteInterface* source_ = nullptr;
    std::int64_t start_ = 0;
    std::int64_t length_ = 0;
};

}  // namespace vel
