#pragma once
// Signature files: fixed 171-byte records, no header, back to back, little-endian. The default
// file "FileSetting.txt" sits beside the program; users keep further files anywhere. Despite the
// name the file is binary.
//
// Bounds rule: decodeRecord reads exactly kRecordSize bytes from the pointer it is given; the
// caller guarantees them. Nothing else here touches raw memory.
#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "raw/CarveFormats.h"

namespace vel {

inline constexpr std::size_t kRecordSize = 171;
inline constexpr std::size_t kMaxSignatureBytes = 10;
inline constexpr std::size_t kMaxExtensionUnits = 4;
inline constexpr std::size_t kMaxCategoryUnits = 50;
// The last record of a file must start at or before this byte.
inline constexpr std::uint64_t kMaxLastRecordStart = 0x100000;
// Definition ids are one byte and only ids below 128 get a pending-start stack.
inline constexpr std::size_t kMaxDefinitions = 128;
// A size field must lie inside the first sector at a hit.
inline constexpr std::int64_t kSizeFieldWindow = 512;

inline constexpr const char* kDefaultSignatureFileName = "FileSetting.txt";

// Field offsets of a record.
namespace sigrec {
inline constexpr std::size_t kExtension = 0;         // 4 UTF-16 units
inline constexpr std::size_t kExtensionLength = 10;  // character count, low byte
inline constexpr std::size_t kStart = 11;
inline constexpr std::size_t kEnd = 21;
inline constexpr std::size_t kStartLength = 31;
inline constexpr std::size_t kEndLength = 32;
inline constexpr std::size_t kRecordIndex = 33;
inline constexpr std::size_t kOffsetToSize = 34;  // i32
inline constexpr std::size_t kSizeBytes = 38;     // u32
inline constexpr std::size_t kHeaderSize = 42;    // u32
inline constexpr std::size_t kIncludesHeader = 46;
inline constexpr std::size_t kApproximateSize = 51;  // i64
inline constexpr std::size_t kSkipSize = 59;         // i64
inline constexpr std::size_t kCategory = 67;         // 50 UTF-16 units
}  // namespace sigrec

struct SignatureFileRecord {
    std::u16string extension;          // as stored: at most 4 units
    std::uint8_t extensionLength = 0;  // the typed text's length (may exceed 4)
    std::array<std::uint8_t, kMaxSignatureBytes> start{};
    std::array<std::uint8_t, kMaxSignatureBytes> end{};
    std::uint8_t startLength = 0;
    std::uint8_t endLength = 0;
    std::uint8_t recordIndex = 0;
    std::int32_t offsetToSize = -1;
    std::uint32_t sizeBytes = 0;
    std::uint32_t headerSize = 0;
    bool sizeIncludesHeader = false;
    std::int64_t approximateSize = 0;
    std::int64_t skipSize = 0;
    std::u16string category;  // at most 50 units

    bool operator==(const SignatureFileRecord&) const = default;
};

std::array<std::uint8_t, kRecordSize> encodeRecord(const SignatureFileRecord& record);
SignatureFileRecord decodeRecord(const std::uint8_t* bytes);

// A typed signature: comma-separated hexadecimal values ("0x89,0x50" or "ff,d8"); empty pieces
// are skipped, each value keeps its low 8 bits. valueCount counts every value, so a caller can
// refuse texts holding more than the record has room for.
struct ParsedSignature {
    std::vector<std::uint8_t> bytes;
    std::size_t valueCount = 0;
};
ParsedSignature parseSignatureText(const std::string& text);

// A typed number: its leading decimal digits (with an optional sign); 0 when there are none.
std::int64_t parseNumberField(const std::string& text);

// What the editor's fields hold, as typed.
struct SignatureInputs {
    std::string extension;  // UTF-8
    std::string startSignature;
    std::string endSignature;
    std::string offsetToSize;
    std::string sizeBytes;
    bool sizeIncludesHeader = false;
    std::string headerSize;
    std::string skipSize;
    std::string approximateSize;
    std::string category;  // UTF-8
};

// The record the editor appends for these inputs, or the message that refuses them.
struct BuiltRecord {
    std::optional<SignatureFileRecord> record;
    std::string message;
};
BuiltRecord buildRecord(const SignatureInputs& inputs, std::uint8_t recordIndex);

// The file the editor writes: created anew (an existing one is emptied) and kept open.
class SignatureFileWriter {
  public:
    SignatureFileWriter() = default;
    ~SignatureFileWriter();
    SignatureFileWriter(const SignatureFileWriter&) = delete;
    SignatureFileWriter& operator=(const SignatureFileWriter&) = delete;

    bool create(const std::string& path);
    bool isOpen() const { return fd_ >= 0; }
    void close();
    // Appends a record built from the inputs; returns the message to show ("" when no file is
    // open, which does nothing).
    std::string append(const SignatureInputs& inputs);

  private:
    int fd_ = -1;
};

// One loaded signature, as the engine uses it.
struct SignatureDefinition {
    std::array<std::uint8_t, kMaxSignatureBytes> start{};
    std::array<std::uint8_t, kMaxSignatureBytes> end{};
    std::uint8_t startLength = 0;
    std::uint8_t endLength = 0;
    std::u16string extension;
    std::int32_t offsetToSize = -1;
    std::uint32_t sizeBytes = 0;
    std::uint32_t headerSize = 0;
    bool sizeIncludesHeader = false;
    std::int64_t approximateSize = 0;
    std::int64_t skipSize = 0;
    std::u16string category;
    // Types the default file carries that are carved by their own structure.
    FormatKind format = FormatKind::None;
};

SignatureDefinition definitionFromRecord(const SignatureFileRecord& record);

struct LoadResult {
    bool ok = false;
    std::string message;  // the refusal, or notes on records left out; "" when all went well
    std::size_t loaded = 0;
};

// Appends the file's definitions to definitions. The default file's known types are carved by
// their structure; every other definition follows the signature rules. Definitions the engine
// cannot use (a size field outside the first sector, ids of 128 and more) are left out and named
// in the message.
LoadResult loadSignatureFile(const std::string& path, bool isDefaultFile,
                             std::vector<SignatureDefinition>& definitions);

// The records of the default file installed beside the program.
std::vector<SignatureFileRecord> defaultSignatureRecords();

// Where the default file is: beside the running program, else in the build tree it was built
// in; the first place when neither has one.
std::string defaultSignatureFilePath();

}  // namespace vel
