#include "device/image/EwfSource.h"

#include <fcntl.h>
#include <libewf.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <vector>

#include "device/FileReadSeek.h"
#include "device/image/EwfChunks.h"
#include "fs/common/Endian.h"

namespace vel {

namespace {

// Segment file layout (EWF version 1): a 13-byte file header, then sections, each opened by a
// 76-byte descriptor: its type (16 bytes, NUL-padded), the file offset of the next descriptor
// and the section's size.
constexpr std::size_t kFileHeaderBytes = 13;
constexpr std::size_t kDescriptorBytes = 76;
constexpr std::size_t kDescriptorType = 0;
constexpr std::size_t kDescriptorNext = 16;
constexpr std::size_t kDescriptorSize = 24;
constexpr std::size_t kMd5Bytes = 16;
constexpr std::size_t kSha1Bytes = 20;
constexpr unsigned char kEvfSignature[8] = {'E', 'V', 'F', 0x09, 0x0d, 0x0a, 0xff, 0x00};
constexpr unsigned char kLvfSignature[8] = {'L', 'V', 'F', 0x09, 0x0d, 0x0a, 0xff, 0x00};
// 32768 sectors of 4096 bytes: no chunk is larger.
constexpr std::int64_t kMaxChunkBytes = std::int64_t{128} << 20;
// More sections than a segment of the largest size holds.
constexpr int kMaxSections = 1 << 20;

// Acquisition details worth showing, with the names they are shown by.
constexpr std::pair<const char*, const char*> kCaseFields[] = {
    {"case_number", "case_number"},
    {"description", "description"},
    {"examiner_name", "examiner_name"},
    {"evidence_number", "evidence_number"},
    {"notes", "notes"},
    {"acquiry_date", "acquisition_date"},
    {"system_date", "system_date"},
    {"acquiry_operating_system", "acquisition_os"},
    {"acquiry_software", "acquisition_software"},
    {"acquiry_software_version", "acquisition_software_version"},
    {"model", "model"},
    {"serial_number", "serial_number"},
};

std::string errorMessage(libewf_error_t* e) {
    if (!e) return "unknown error";
    char text[1024] = {};
    libewf_error_sprint(e, text, sizeof text);
    libewf_error_free(&e);
    std::string s = text;
    while (!s.empty() && (s.back() == '\n' || s.back() == '.')) s.pop_back();
    const std::size_t nl = s.rfind('\n');
    return nl == std::string::npos ? s : s.substr(nl + 1);
}

// Lowercase hex of bytes; "" when they are all zero (a hash that was never written).
std::string hexOf(const unsigned char* p, std::size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    bool any = false;
    for (std::size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
        any = any || p[i] != 0;
    }
    return any ? s : std::string();
}

std::string lowerHex(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

class EwfSource final : public DiskSource {
  public:
    ~EwfSource() override {
        if (salvageFd_ >= 0) ::close(salvageFd_);
        if (handle_) {
            libewf_handle_close(handle_, nullptr);
            libewf_handle_free(&handle_, nullptr);
        }
    }

    static std::shared_ptr<DiskSource> open(const std::string& path, std::string& error);

  protected:
    std::int64_t readSome(std::int64_t offset, void* buffer, std::size_t count) const override {
        // A libewf handle keeps a position and a chunk cache: one reader at a time.
        std::lock_guard lock(mutex_);
        if (offset >= byteSize()) return 0;
        std::int64_t n =
            std::min<std::int64_t>(static_cast<std::int64_t>(count), byteSize() - offset);
        // libewf marked the salvaged chunks lost when it was asked for them: they go first.
        if (offset >= salvageStart_ && offset < lostTail_) return readSalvaged(offset, buffer, n);
        if (lostAt(offset)) return -1;
        n = std::min(n, nextLost(offset) - offset);
        libewf_error_t* e = nullptr;
        ssize_t got =
            libewf_handle_read_random(handle_, buffer, static_cast<size_t>(n), offset, &e);
        if (got < 0) {
            libewf_error_free(&e);
            return -1;
        }
        refreshLost();
        // The chunks that failed their checksum in this read are unreadable, not zeros.
        if (lostAt(offset)) return -1;
        return std::min<std::int64_t>(got, nextLost(offset) - offset);
    }

  private:
    EwfSource() = default;

    bool lostAt(std::int64_t offset) const {
        if (offset >= lostTail_) return true;
        for (const auto& [first, end] : lost_)
            if (offset >= first && offset < end) return true;
        return false;
    }
    std::int64_t nextLost(std::int64_t offset) const {
        std::int64_t next = std::min(lostTail_, salvageStart_);
        for (const auto& [first, end] : lost_)
            if (first > offset) next = std::min(next, first);
        return next;
    }
    // libewf records the chunks it could not verify as it reads them.
    void refreshLost() const {
        uint32_t errors = 0;
        if (libewf_handle_get_number_of_checksum_errors(handle_, &errors, nullptr) != 1 ||
            errors == knownErrors_)
            return;
        knownErrors_ = errors;
        lost_.clear();
        for (uint32_t i = 0; i < errors; ++i) {
            uint64_t first = 0, count = 0;
            if (libewf_handle_get_checksum_error(handle_, i, &first, &count, nullptr) != 1)
                continue;
            lost_.emplace_back(static_cast<std::int64_t>(first) * bytesPerSector_,
                               static_cast<std::int64_t>(first + count) * bytesPerSector_);
        }
    }
    std::int64_t chunkLength(std::int64_t index) const {
        return std::min(chunkBytes_, byteSize() - index * chunkBytes_);
    }
    // The chunks libewf has no table for, found one after the other in the cut segment's data;
    // before is the number of chunks the segments ahead of it hold.
    void salvage(const std::string& segment, std::uint64_t before) {
        EwfSegmentWalk walk;
        ewfSegmentEnd(segment, &walk);
        const auto data = walk.sectorsData;
        const std::int64_t first = static_cast<std::int64_t>(before + walk.tableChunks);
        // Tables that disagree with libewf, or a chunk larger than any the format writes.
        if (first * chunkBytes_ > lostTail_ || chunkBytes_ > kMaxChunkBytes) return;
        salvageStart_ = first * chunkBytes_;
        lostTail_ = salvageStart_;
        salvageFd_ = ::open(segment.c_str(), O_RDONLY | O_CLOEXEC);
        if (salvageFd_ < 0 || data.second <= data.first) return;
        std::vector<std::uint8_t> stored(static_cast<std::size_t>(chunkBytes_) + kSlack);
        std::vector<std::uint8_t> chunk(static_cast<std::size_t>(chunkBytes_));
        std::uint64_t at = data.first;
        for (std::int64_t index = first; index * chunkBytes_ < byteSize() && at < data.second;
             ++index) {
            const std::size_t want =
                static_cast<std::size_t>(std::min<std::uint64_t>(stored.size(), data.second - at));
            const ssize_t got = ::pread(salvageFd_, stored.data(), want, static_cast<off_t>(at));
            if (got <= 0) break;
            auto c = ewf::decodeChunk(stored.data(), static_cast<std::size_t>(got), chunk.data(),
                                      static_cast<std::size_t>(chunkLength(index)));
            if (!c) break;
            salvaged_.emplace_back(at, c->storedBytes);
            at += c->storedBytes;
        }
        lostTail_ = std::min(byteSize(),
                             (first + static_cast<std::int64_t>(salvaged_.size())) * chunkBytes_);
    }
    std::int64_t readSalvaged(std::int64_t offset, void* buffer, std::int64_t count) const {
        const std::int64_t index = offset / chunkBytes_;
        const std::size_t slot = static_cast<std::size_t>(index - salvageStart_ / chunkBytes_);
        if (slot >= salvaged_.size()) return -1;
        if (cachedChunk_ != index) {
            const auto [at, storedBytes] = salvaged_[slot];
            std::vector<std::uint8_t> stored(storedBytes);
            cache_.resize(static_cast<std::size_t>(chunkBytes_));
            if (::pread(salvageFd_, stored.data(), stored.size(), static_cast<off_t>(at)) !=
                    static_cast<ssize_t>(stored.size()) ||
                !ewf::decodeChunk(stored.data(), stored.size(), cache_.data(),
                                  static_cast<std::size_t>(chunkLength(index))))
                return -1;
            cachedChunk_ = index;
        }
        const std::int64_t inChunk = offset - index * chunkBytes_;
        const std::int64_t n = std::min(count, chunkLength(index) - inChunk);
        std::memcpy(buffer, cache_.data() + inChunk, static_cast<std::size_t>(n));
        return n;
    }
    // Whether libewf can give the chunk at offset (it marks the ones it has no table for).
    bool chunkReadable(std::int64_t offset) const {
        unsigned char byte = 0;
        libewf_error_t* e = nullptr;
        if (libewf_handle_read_random(handle_, &byte, 1, offset, &e) < 0) {
            libewf_error_free(&e);
            return false;
        }
        refreshLost();
        return !lostAt(offset);
    }
    // The first lost chunk of a set whose end is lost, by halving: the chunks before it read.
    std::int64_t findLostTail(std::int64_t size) const {
        const std::int64_t chunk = chunkBytes_;
        std::int64_t lo = 0, hi = (size + chunk - 1) / chunk;  // chunk hi is taken as lost
        if (hi == 0 || chunkReadable((hi - 1) * chunk)) return size;
        --hi;
        while (lo < hi) {
            const std::int64_t mid = lo + (hi - lo) / 2;
            if (chunkReadable(mid * chunk))
                lo = mid + 1;
            else
                hi = mid;
        }
        return lo * chunk;
    }
    std::string value(bool hash, const char* id) const {
        uint8_t text[4096] = {};
        const auto* key = reinterpret_cast<const uint8_t*>(id);
        int found = hash ? libewf_handle_get_utf8_hash_value(handle_, key, std::strlen(id), text,
                                                             sizeof text, nullptr)
                         : libewf_handle_get_utf8_header_value(handle_, key, std::strlen(id), text,
                                                               sizeof text, nullptr);
        return found == 1 ? std::string(reinterpret_cast<const char*>(text)) : std::string();
    }

    libewf_handle_t* handle_ = nullptr;
    std::int64_t bytesPerSector_ = 512;
    // Where the chunks of missing or cut-short segments begin: all after it is lost.
    std::int64_t lostTail_ = INT64_MAX;
    std::int64_t chunkBytes_ = 32768;
    // Chunks of a cut-short segment, read without libewf: [salvageStart_, lostTail_), each
    // (file offset, stored bytes) in the segment opened as salvageFd_.
    static constexpr std::size_t kSlack = 1024;  // what deflate may add to a chunk
    int salvageFd_ = -1;
    std::int64_t salvageStart_ = INT64_MAX;
    std::vector<std::pair<std::uint64_t, std::size_t>> salvaged_;
    mutable std::int64_t cachedChunk_ = -1;
    mutable std::vector<std::uint8_t> cache_;
    mutable std::mutex mutex_;
    mutable uint32_t knownErrors_ = 0;
    mutable std::vector<std::pair<std::int64_t, std::int64_t>> lost_;  // byte ranges
};

std::shared_ptr<DiskSource> EwfSource::open(const std::string& path, std::string& error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    std::optional<EwfName> name = parseEwfName(path);
    // The set is read up to its first missing segment; libewf takes no gap.
    std::vector<std::string> segments;
    std::string firstMissing;
    std::vector<std::string> unused;
    if (!name) {
        segments.push_back(path);
    } else {
        int n = 1;
        for (; n <= kMaxEwfSegments; ++n) {
            std::string s = ewfSegmentName(*name, n);
            if (!fs::is_regular_file(s, ec)) break;
            segments.push_back(s);
        }
        if (segments.empty()) {
            error = ewfSegmentName(*name, 1) + ": the first segment is missing";
            return nullptr;
        }
        if (n <= kMaxEwfSegments) firstMissing = ewfSegmentName(*name, n);
        for (++n; n <= kMaxEwfSegments; ++n)
            if (std::string s = ewfSegmentName(*name, n); fs::is_regular_file(s, ec))
                unused.push_back(s);
    }

    std::shared_ptr<EwfSource> source(new EwfSource);
    libewf_error_t* e = nullptr;
    if (libewf_handle_initialize(&source->handle_, &e) != 1) {
        error = path + ": " + errorMessage(e);
        return nullptr;
    }
    std::vector<char*> names;
    for (std::string& s : segments) names.push_back(s.data());
    if (libewf_handle_open(source->handle_, names.data(), static_cast<int>(names.size()),
                           libewf_get_access_flags_read(), &e) != 1) {
        error = path + ": " + errorMessage(e);
        return nullptr;
    }
    libewf_handle_set_read_zero_chunk_on_error(source->handle_, 1, nullptr);
    libewf_handle_set_header_values_date_format(source->handle_, LIBEWF_DATE_FORMAT_ISO8601,
                                                nullptr);
    size64_t size = 0;
    uint32_t sectorBytes = 0;
    libewf_handle_get_media_size(source->handle_, &size, nullptr);
    if (libewf_handle_get_bytes_per_sector(source->handle_, &sectorBytes, nullptr) == 1 &&
        sectorBytes > 0)
        source->bytesPerSector_ = sectorBytes;
    size32_t chunk = 0;
    if (libewf_handle_get_chunk_size(source->handle_, &chunk, nullptr) == 1 && chunk > 0)
        source->chunkBytes_ = chunk;
    source->setByteSize(static_cast<std::int64_t>(size));
    source->path_ = path;

    ImageInfo& info = source->info_;
    info.format = imageformat::kEwf;
    info.mediaSize = static_cast<std::int64_t>(size);
    info.files = segments;
    for (const auto& [id, shown] : kCaseFields)
        if (std::string v = source->value(false, id); !v.empty())
            info.caseData.emplace_back(shown, v);
    info.md5 = lowerHex(source->value(true, "MD5"));
    info.sha1 = lowerHex(source->value(true, "SHA1"));

    // Segments that are missing or cut short take the end of the media with them: libewf marks
    // the chunks it has no table for once it is asked for them.
    if (libewf_handle_segment_files_corrupted(source->handle_, nullptr) == 1 || !unused.empty()) {
        const std::int64_t lostFrom = source->findLostTail(static_cast<std::int64_t>(size));
        if (lostFrom < static_cast<std::int64_t>(size)) source->lostTail_ = lostFrom;
        // The first segment cut short is to blame, else the one after the last present.
        std::string culprit = firstMissing, what = "is missing";
        std::uint64_t chunksBefore = 0;
        for (const std::string& s : segments) {
            EwfSegmentWalk walk;
            if (ewfSegmentEnd(s, &walk) == EwfSegmentEnd::Cut) {
                culprit = s;
                what = "is cut short";
                break;
            }
            chunksBefore += walk.tableChunks;
        }
        if (culprit.empty()) culprit = segments.back();
        if (what == "is cut short" && source->lostTail_ < static_cast<std::int64_t>(size))
            source->salvage(culprit, chunksBefore);
        const std::int64_t unreadFrom = source->lostTail_;
        if (unreadFrom < static_cast<std::int64_t>(size))
            info.problems.push_back(
                damageNote(culprit, what, unreadFrom, static_cast<std::int64_t>(size)));
        else
            info.problems.push_back(fs::path(culprit).filename().string() + " " + what);
        // The hashes are written at the end of the set: in a segment libewf did not get.
        if (info.md5.empty() && info.sha1.empty()) {
            EwfSegmentWalk last;
            ewfSegmentEnd(unused.empty() ? segments.back() : unused.back(), &last);
            info.md5 = last.md5;
            info.sha1 = last.sha1;
        }
        for (const std::string& s : unused)
            info.problems.push_back(fs::path(s).filename().string() +
                                    " is not read: a segment before it is missing");
    }
    return source;
}

}  // namespace

std::optional<EwfName> parseEwfName(const std::string& path) {
    const std::size_t dot = path.rfind('.');
    const std::size_t slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    const std::string ext = path.substr(dot + 1);
    EwfName n;
    n.stem = path.substr(0, dot);
    // EnCase (E), SMART (s) and logical (L) sets, and the version 2 forms (Ex, Lx).
    const bool known = !ext.empty() && std::strchr("EeSsLl", ext[0]) != nullptr;
    if (known && ext.size() == 3)
        n.prefix = ext.substr(0, 1);
    else if (known && ext.size() == 4 && (ext[1] == 'x' || ext[1] == 'X'))
        n.prefix = ext.substr(0, 2);
    else
        return {};
    const char a = ext[ext.size() - 2], b = ext[ext.size() - 1];
    if (std::isdigit(static_cast<unsigned char>(a)) &&
        std::isdigit(static_cast<unsigned char>(b))) {
        n.number = (a - '0') * 10 + (b - '0');
        if (n.number == 0) return {};
        return n;
    }
    const bool lower = std::islower(static_cast<unsigned char>(n.prefix[0]));
    const char base = lower ? 'a' : 'A';
    if (a < base || a >= base + 26 || b < base || b >= base + 26) return {};
    n.number = 100 + (a - base) * 26 + (b - base);
    return n;
}

std::string ewfSegmentName(const EwfName& set, int number) {
    if (number < 1 || number > kMaxEwfSegments) return {};
    std::string counter;
    if (number <= 99) {
        counter = {static_cast<char>('0' + number / 10), static_cast<char>('0' + number % 10)};
    } else {
        const bool lower =
            !set.prefix.empty() && std::islower(static_cast<unsigned char>(set.prefix[0]));
        const char base = lower ? 'a' : 'A';
        const int m = number - 100;
        counter = {static_cast<char>(base + m / 26), static_cast<char>(base + m % 26)};
    }
    return set.stem + "." + set.prefix + counter;
}

EwfSegmentEnd ewfSegmentEnd(const std::string& path, EwfSegmentWalk* walk) {
    EwfSegmentWalk ignored;
    if (!walk) walk = &ignored;
    *walk = {};
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return EwfSegmentEnd::Cut;
    const std::int64_t size = deviceByteSize(fd);
    unsigned char d[kDescriptorBytes];
    EwfSegmentEnd end = EwfSegmentEnd::Cut;
    std::uint64_t at = kFileHeaderBytes;
    const bool versionOne =
        ::pread(fd, d, sizeof kEvfSignature, 0) == static_cast<ssize_t>(sizeof kEvfSignature) &&
        (std::memcmp(d, kEvfSignature, sizeof kEvfSignature) == 0 ||
         std::memcmp(d, kLvfSignature, sizeof kLvfSignature) == 0);
    for (int i = 0; versionOne && i < kMaxSections; ++i) {
        if (at + kDescriptorBytes > static_cast<std::uint64_t>(size) ||
            ::pread(fd, d, sizeof d, static_cast<off_t>(at)) != static_cast<ssize_t>(sizeof d))
            break;
        const std::string type(reinterpret_cast<const char*>(d + kDescriptorType),
                               strnlen(reinterpret_cast<const char*>(d + kDescriptorType), 16));
        const std::uint64_t next = le64(d + kDescriptorNext);
        if (type == "sectors") {
            const std::uint64_t end = at + le64(d + kDescriptorSize);
            walk->sectorsData = {at + kDescriptorBytes,
                                 std::min<std::uint64_t>(end, static_cast<std::uint64_t>(size))};
        }
        // The hashes of the media: MD5 in the hash section, MD5 and SHA-1 in the digest.
        unsigned char hashes[kMd5Bytes + kSha1Bytes];
        const bool digest = type == "digest";
        if ((digest || type == "hash") &&
            ::pread(fd, hashes, sizeof hashes, static_cast<off_t>(at + kDescriptorBytes)) ==
                static_cast<ssize_t>(sizeof hashes)) {
            walk->md5 = hexOf(hashes, kMd5Bytes);
            if (digest) walk->sha1 = hexOf(hashes + kMd5Bytes, kSha1Bytes);
        }
        unsigned char entries[4];
        if (type == "table" &&
            ::pread(fd, entries, sizeof entries, static_cast<off_t>(at + kDescriptorBytes)) ==
                static_cast<ssize_t>(sizeof entries))
            walk->tableChunks += le32(entries);
        // The last section points at itself.
        if (type == "done" || type == "next") {
            end = type == "done" ? EwfSegmentEnd::Done : EwfSegmentEnd::Next;
            break;
        }
        if (next <= at) break;
        at = next;
    }
    ::close(fd);
    return end;
}

bool hasEwfSignature(const std::string& path) {
    return libewf_check_file_signature(path.c_str(), nullptr) == 1;
}

std::shared_ptr<DiskSource> openEwf(const std::string& path, std::string& error) {
    return EwfSource::open(path, error);
}

}  // namespace vel
