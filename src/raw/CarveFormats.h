#pragma once
// Structure checks of the default carving types: each finds a candidate's size from the file's
// own structure (marker, chunk, block and box walks, size fields, end records) and says whether
// the structure holds all the way (exact), breaks after a convincing first piece (partial, a
// fragmented or damaged file) or does not hold at all (not a file of the type).
//
// The checks are pure: they see the candidate only through a ByteWindow, which over a plain
// byte span is a fuzzable function of those bytes. Bounds rule: nothing is read outside
// [0, window.size()); every walk is guarded by the window's end and by step counts.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vel {

enum class FormatKind : std::uint8_t {
    None,  // a user signature: sized by the signature rules
    Jpeg,
    Png,
    Gif,
    Bmp,
    Tiff,
    Pdf,
    Zip,
    Mp3,
    Riff,
    Mp4,
    Gzip,
    SevenZip,
    Sqlite,
};

// The default file's extensions that are carved by structure ("" or an unknown one: None).
FormatKind formatForExtension(const std::string& extension);

// The bytes of a candidate from its first byte on. head is what the caller has in memory; bytes
// past it (up to size()) come from fetch(), which the engine implements over the source.
class ByteWindow {
  public:
    ByteWindow(std::span<const std::uint8_t> head, std::uint64_t size);
    virtual ~ByteWindow() = default;
    ByteWindow(const ByteWindow&) = delete;
    ByteWindow& operator=(const ByteWindow&) = delete;

    // How far the candidate may reach: the type's largest size or the source's end.
    std::uint64_t size() const { return size_; }
    // n (at most kMaxAt) bytes at offset, or null when they are not all inside the window.
    static constexpr std::size_t kMaxAt = 64;
    const std::uint8_t* at(std::uint64_t offset, std::size_t n) const;
    // The longest run of bytes in memory from offset on (empty at or past the end).
    std::span<const std::uint8_t> piece(std::uint64_t offset) const;
    // First offset >= from where needle starts, ending at or before limit; npos when none.
    static constexpr std::uint64_t npos = ~0ull;
    std::uint64_t find(std::uint64_t from, std::span<const std::uint8_t> needle,
                       std::uint64_t limit) const;

  protected:
    // Fills out with count bytes at offset (beyond head); false when they cannot be had.
    virtual bool fetch(std::uint64_t offset, std::uint8_t* out, std::size_t count) const;

  private:
    std::span<const std::uint8_t> head_;
    std::uint64_t size_;
    mutable std::vector<std::uint8_t> block_;
    mutable std::uint64_t blockStart_ = ~0ull;
    mutable std::uint8_t scratch_[kMaxAt];
};

enum class CarveStatus : std::uint8_t { Reject, Exact, Partial };

struct CarveVerdict {
    CarveStatus status = CarveStatus::Reject;
    std::uint64_t size = 0;
    std::string extension;  // when the structure tells a more exact type (docx, mov, ...)
};

// The check of one kind; the candidate starts at byte 0 of the window.
CarveVerdict checkFormat(FormatKind kind, const ByteWindow& window);

CarveVerdict checkJpeg(const ByteWindow& w);
CarveVerdict checkPng(const ByteWindow& w);
CarveVerdict checkGif(const ByteWindow& w);
CarveVerdict checkBmp(const ByteWindow& w);
CarveVerdict checkTiff(const ByteWindow& w);
CarveVerdict checkPdf(const ByteWindow& w);
CarveVerdict checkZip(const ByteWindow& w);
CarveVerdict checkMp3(const ByteWindow& w);
CarveVerdict checkRiff(const ByteWindow& w);
CarveVerdict checkMp4(const ByteWindow& w);
CarveVerdict checkGzip(const ByteWindow& w);
CarveVerdict checkSevenZip(const ByteWindow& w);
CarveVerdict checkSqlite(const ByteWindow& w);

std::uint32_t crc32Of(const std::uint8_t* data, std::size_t size, std::uint32_t crc = 0);

}  // namespace vel
