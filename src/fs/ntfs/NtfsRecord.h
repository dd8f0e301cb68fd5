#pragma once
// MFT record decoding on byte buffers: fix-ups, the attribute walk, $FILE_NAME, $DATA,
// $STANDARD_INFORMATION, attribute lists and run lists. Every walk stays inside the buffer it is
// given, whatever the bytes say.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "fs/common/Endian.h"

namespace vel::ntfsfmt {

inline constexpr std::uint32_t kRecordSize = 1024;  // the usual size; the boot sector says
inline constexpr std::uint32_t kMaxRecordSize = 4096;
inline constexpr std::uint32_t kSectorSize = 512;  // the fix-up stride, whatever the disk's
inline constexpr std::uint64_t kMaxClusterSize = 2u << 20;
inline constexpr std::uint32_t kEndOfAttributes = 0xFFFFFFFF;
inline constexpr std::uint32_t kStandardInformation = 0x10;
inline constexpr std::uint32_t kAttributeList = 0x20;
inline constexpr std::uint32_t kFileName = 0x30;
inline constexpr std::uint32_t kData = 0x80;
inline constexpr std::uint32_t kFileSignature = 0x454C4946;  // "FILE"
inline constexpr std::uint16_t kRecordInUse = 0x0001;
inline constexpr std::uint32_t kDirectoryIndexFlag = 0x10000000;
inline constexpr std::uint8_t kDosNamespace = 2;
// Records below this one belong to the volume's own files ($MFT up to $Extend and reserves).
inline constexpr std::int64_t kFirstUserRecord = 16;

using vel::le16;
using vel::le32;
using vel::le64;

// The layout a boot sector gives, every field checked: sectors of 512 to 4096 bytes, clusters
// a power of two of at most 2 MiB, records of 512 to 4096 bytes, offsets that fit in 63 bits.
struct BootGeometry {
    std::uint32_t bytesPerSector = 0;
    std::uint64_t clusterSize = 0;
    std::uint32_t recordSize = 0;
    std::uint64_t volumeSize = 0;  // bytes
    std::uint64_t mftOffset = 0;   // bytes from the volume start
};
// False unless the sector reads "NTFS" at byte 3 and its fields hold together.
bool decodeBootSector(const std::uint8_t* sector, BootGeometry& out);
// The record size a record's own header records (its allocated size), or 0 when it is none of
// the sizes records come in.
std::uint32_t recordSizeOf(const std::uint8_t* record);

// Record header fields the searches over a whole volume read.
inline constexpr std::uint32_t kUsaOffsetField = 0x04;
inline constexpr std::uint32_t kUsaCountField = 0x06;
inline constexpr std::uint32_t kSequenceField = 0x10;
inline constexpr std::uint32_t kFirstAttributeField = 0x14;
inline constexpr std::uint32_t kRecordFlagsField = 0x16;
inline constexpr std::uint32_t kRecordNumberField = 0x2C;  // when the update sequence follows it
inline constexpr std::uint32_t kNumberedUsaOffset = 0x30;

// Whether a 512-byte sector starts an MFT record as the volume searches take it: "FILE", and the
// update sequence's offset and count and the first attribute's offset each below 512.
bool looksLikeRecordStart(const std::uint8_t* sector);

// Writes the update sequence array's elements over the sector tails of a record of
// recordSize bytes. The sequence number is not compared: a damaged record still decodes to what
// its bytes say.
void applyFixups(std::uint8_t* record, std::uint32_t recordSize = kRecordSize);

// One attribute header that lies wholly inside its record.
struct AttributeRef {
    std::uint32_t type = 0;
    std::uint32_t offset = 0;  // of the header within the record
    std::uint32_t length = 0;
    bool nonResident = false;
    std::uint8_t nameLength = 0;
    std::uint16_t flags = 0;
};

// A record's attribute headers, kept on the stack: a record holds at most 62 (16 bytes each).
class AttributeHeaders {
  public:
    static constexpr std::size_t kMax = 64;
    AttributeHeaders() {}  // the slots stay unset: this is made several times per record
    const AttributeRef* begin() const { return items_; }
    const AttributeRef* end() const { return items_ + count_; }
    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    const AttributeRef& operator[](std::size_t i) const { return items_[i]; }
    const AttributeRef& at(std::size_t i) const {
        if (i >= count_) throw std::out_of_range("attribute");
        return items_[i];
    }
    void push_back(const AttributeRef& a) {
        if (count_ < kMax) items_[count_++] = a;
    }

  private:
    // In a union so the array is not filled with defaults; only the first count_ are read.
    union {
        AttributeRef items_[kMax];
    };
    std::size_t count_ = 0;
};

// The attributes of a record in order, ending at the end marker, a zero or too-short length, or
// the end of the record.
AttributeHeaders attributeHeaders(const std::uint8_t* record,
                                  std::uint32_t recordSize = kRecordSize);

// A resident attribute's value, bounded by the attribute and the record; null when it does not fit.
struct ValueRef {
    const std::uint8_t* data = nullptr;
    std::uint32_t length = 0;
    std::uint32_t offset = 0;  // within the record
};
ValueRef residentValue(const std::uint8_t* record, const AttributeRef& a);

struct FileNameInfo {
    std::int64_t parentIndex = 0;      // low 48 bits of the parent reference, sign-extended
    std::uint16_t parentSequence = 0;  // the reference's sequence number; 0 names none
    std::uint64_t created = 0;         // FILETIME the name was made
    std::uint64_t allocatedSize = 0;
    std::uint32_t flags = 0;
    std::uint8_t nameSpace = 0;
    std::uint32_t nameLength = 0;        // UTF-16 units
    const std::uint8_t* name = nullptr;  // little-endian UTF-16 inside the record
};
// False when the value is too short for its fields or its name.
bool decodeFileName(const ValueRef& value, FileNameInfo& out);

// The name, parent and folder mark of a fixed-up record: the last long name (a DOS 8.3 name
// only when there is no other) with its parent; a folder when any $FILE_NAME says so.
struct NameChoice {
    bool found = false;
    bool directory = false;
    FileNameInfo info;
};
NameChoice chooseName(const std::uint8_t* record, std::uint32_t recordSize = kRecordSize);

// One run of a non-resident attribute. Sparse runs have no clusters on disk (start 0).
struct DataRun {
    std::int64_t startCluster = 0;
    std::uint64_t clusterCount = 0;
    bool sparse = false;
    bool operator==(const DataRun&) const = default;
};

// Decodes a run list. Runs are kept while the running cluster total stays within maxClusters
// (the attribute's VCN range); decoding ends at a zero header, at a field that would pass the end
// of the bytes, or at a field wider than 8 bytes.
std::vector<DataRun> decodeRuns(const std::uint8_t* bytes, std::size_t length,
                                std::uint64_t maxClusters);

// A record's $DATA attribute (the unnamed stream; a named one only when there is no other).
struct DataAttributeInfo {
    char residency = 0;  // 'R', 'N' or 0 when there is none
    std::uint16_t valueOffset = 0;
    std::uint32_t valueLength = 0;
    std::uint16_t runListOffset = 0;  // within the attribute
    std::uint32_t runListLength = 0;
    std::uint16_t compressionUnit = 0;
    std::uint64_t startVcn = 0, lastVcn = 0;
    std::uint64_t allocatedSize = 0, realSize = 0, initializedSize = 0;
    bool compressed = false;  // flags word exactly 0x0001
    std::uint32_t attributeOffset = 0;
};
DataAttributeInfo describeData(const std::uint8_t* record, std::uint32_t recordSize = kRecordSize);

// The run list of a non-resident attribute header (bounded by its length and VCN range).
std::vector<DataRun> attributeRuns(const std::uint8_t* record, const AttributeRef& a);

struct EntryTimes {
    std::uint64_t creation = 0, modification = 0, access = 0;  // FILETIME, UTC
    std::uint16_t fileAttributes = 0;                          // from $FILE_NAME
    std::string attributes;                                    // "-R-H-S-A-C-E" letters
};
EntryTimes readTimes(const std::uint8_t* record, std::uint32_t recordSize = kRecordSize);
// The attribute letters of $FILE_NAME's flags.
std::string attributeLetters(std::uint16_t flags);

// Record numbers of the attributes of a type an attribute list names (for $DATA the unnamed
// stream only), in list order, each once in a row, with the first VCN each extent starts at.
struct ListedExtent {
    std::uint64_t recordNumber = 0;
    std::uint64_t startVcn = 0;
};
std::vector<ListedExtent> collectAttributeList(const std::uint8_t* list, std::size_t length,
                                               std::uint32_t type = kData);

// The base record an extension record belongs to (0 for a base record).
inline std::uint64_t baseRecordOf(const std::uint8_t* record) {
    return le64(record + 0x20) & 0xFFFFFFFFFFFFull;
}

}  // namespace vel::ntfsfmt
