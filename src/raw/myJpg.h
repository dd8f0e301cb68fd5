#pragma once
// The raw recovery engine: finds files on a volume by their signatures and lists them in the
// results tree under "RAW RECOVERY " and a node per category. It only reads; the raw screen and
// the command line save what it found (RawSaver.h).
//
// User signatures follow the signature rules: starts at sector boundaries, an end signature
// looked for at every byte while a start is pending, a size field, or the approximate size.
// The default file's known types are sized by their own structure (CarveFormats.h) and reported
// only when it holds; with `unaligned` their headers are also looked for at every byte.
#include <array>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "core/EntryWriter.h"
#include "device/readWriteInterface.h"
#include "raw/SignatureFile.h"
#include "scan/ResultsTree.h"
#include "scan/ScanSink.h"
#include "scan/WorkerControl.h"

namespace vel {

inline constexpr const char* kRawTopCaption = "RAW RECOVERY ";
inline constexpr const char* kRawDoneText =
    "Scanning processing done.Select save button to save the data..";
inline constexpr const char* kRawInitFailedText = "not properly initialized";
inline constexpr std::int64_t kRawStep = 512;
inline constexpr std::int64_t kRawChunk = 1 << 20;

// One row of the matching table: length byte, definition id, ten signature bytes.
struct PatternEntry {
    std::uint8_t length = 0;
    std::uint8_t id = 0;
    std::array<std::uint8_t, kMaxSignatureBytes> bytes{};
};

// Entries 0..N-1 hold the start signatures, N..2N-1 the end signatures, in definition order.
std::vector<PatternEntry> buildPatternTable(const std::vector<SignatureDefinition>& definitions);

struct PatternHit {
    bool found = false;
    bool start = false;
    std::uint8_t id = 0;
    std::size_t entry = 0;
};

// The first table entry that matches the bytes at data: length at least 2, each byte equal or
// 0x2A ("*", any byte). Only the available bytes are compared: an entry longer than them does
// not match.
PatternHit matchAt(std::span<const PatternEntry> table, std::span<const std::uint8_t> data);
// Whether one entry matches there.
bool entryMatches(const PatternEntry& entry, std::span<const std::uint8_t> data);

enum class FoundStatus : std::uint8_t {
    Exact,       // the type's structure holds from the first byte to the last
    Partial,     // the structure holds at first and breaks later: fragmented or overwritten
    Unverified,  // a user signature: sized by its rules, nothing to check it against
};

struct FoundFile {
    std::uint64_t start = 0;  // bytes from the volume start
    std::uint64_t size = 0;
    std::uint8_t definition = 0;
    FoundStatus status = FoundStatus::Unverified;
    bool damaged = false;   // covers sectors that could not be read
    std::string extension;  // UTF-8, without the dot
};

const char* foundStatusName(FoundStatus status);

// A byte range [start, end) of the volume that could not be read.
struct BadRange {
    std::uint64_t start = 0, end = 0;
};

class myJpg {
  public:
    myJpg() = default;
    myJpg(const myJpg&) = delete;
    myJpg& operator=(const myJpg&) = delete;

    // loadDefinitions: appends the file's definitions (see loadSignatureFile).
    LoadResult loadDefinitions(const std::string& path, bool isDefaultFile);
    void addDefinition(const SignatureDefinition& definition);
    const std::vector<SignatureDefinition>& definitions() const { return definitions_; }

    // The source (a drive or an image, whose bad sectors are numbered from its own start), which
    // must outlive the engine's reads; the tree and the sink.
    void attach(const readWriteInterface* source, ResultsTree* tree, ScanSink* sink);
    // The volume: its first byte on the source and its length.
    void setVolume(std::int64_t startByte, std::uint64_t size) {
        volumeStart_ = startByte;
        volumeSize_ = size;
        view_ = VolumeView(source_, startByte, static_cast<std::int64_t>(size));
    }
    std::uint64_t volumeSize() const { return volumeSize_; }
    // Also look for the default types' headers at every byte, for files never aligned.
    bool unaligned = false;

    // The whole scan (the worker's step). False only when it could not start. The output
    // folder is not used by the scan. message() says what to show at the end.
    bool runScan(const std::string& outputFolder);
    const std::string& message() const { return message_; }

    StopFlag stopRequested;

    const std::vector<FoundFile>& found() const { return found_; }
    const FoundFile* foundFile(ItemData data) const;
    // The category of a found file (UTF-8).
    std::string categoryOf(const FoundFile& file) const;
    // The tree node name of a found file: "<offset> .<ext>".
    static std::string nodeName(const FoundFile& file);
    TreeItem topItem() const { return top_; }
    // Unreadable ranges met while scanning.
    const std::vector<BadRange>& badRanges() const { return bad_; }
    std::uint64_t unreadableSectors() const;
    // Writes a found file's bytes from the volume into out, in order, as a parser writes an
    // entry; unreadable sectors are zeros (a ReadDamageScope around the call counts them). False
    // when out refused bytes or nothing is attached.
    bool writeFound(const FoundFile& file, EntryWriter& out) const;
    // Reads volume bytes; unreadable sectors are zeros and join badRanges(). False when any was.
    bool readVolume(std::uint64_t offset, std::uint8_t* buffer, std::size_t count);

  private:
    class Scan;

    void prepareTree();
    void makeFound(std::uint64_t start, std::uint64_t size, std::uint8_t id, FoundStatus status,
                   const std::string& extension);
    bool overlapsBad(std::uint64_t start, std::uint64_t size) const;

    std::vector<SignatureDefinition> definitions_;
    std::vector<TreeItem> categoryNodes_;            // per definition
    std::map<std::u16string, std::int64_t> counts_;  // per category
    std::map<std::u16string, TreeItem> categoryItems_;
    std::vector<FoundFile> found_;
    std::vector<BadRange> bad_;
    const readWriteInterface* source_ = nullptr;
    VolumeView view_;
    ResultsTree* tree_ = nullptr;
    ScanSink* sink_ = nullptr;
    std::int64_t volumeStart_ = 0;
    std::uint64_t volumeSize_ = 0;
    TreeItem top_ = kNoItem;
    std::string message_;
};

}  // namespace vel
