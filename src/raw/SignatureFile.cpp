#include "raw/SignatureFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/Text.h"

namespace vel {

namespace {

void putLe(std::uint8_t* p, std::uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::uint64_t getLe(const std::uint8_t* p, int bytes) {
    std::uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
    return v;
}

std::u16string unitsUntilZero(const std::uint8_t* p, std::size_t units) {
    std::u16string s = utf16leUnits(p, units);
    std::size_t zero = s.find(u'\0');
    if (zero != std::u16string::npos) s.resize(zero);
    return s;
}

// UTF-8 to UTF-16 for the record's text fields; invalid bytes become U+FFFD.
std::u16string toUtf16(const std::string& utf8) {
    std::string text = sanitizeUtf8(utf8);
    std::u16string out;
    for (std::size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        std::uint32_t cp;
        std::size_t n;
        if (c < 0x80) {
            cp = c;
            n = 1;
        } else if ((c >> 5) == 6) {
            cp = c & 0x1F;
            n = 2;
        } else if ((c >> 4) == 14) {
            cp = c & 0x0F;
            n = 3;
        } else {
            cp = c & 0x07;
            n = 4;
        }
        for (std::size_t k = 1; k < n && i + k < text.size(); ++k)
            cp = cp << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
    }
    return out;
}

std::string trimBlanks(const std::string& s) {
    std::size_t a = s.find_first_not_of(" \t\r\n");
    if (a == std::string::npos) return {};
    std::size_t b = s.find_last_not_of(" \t\r\n");
    return s.substr(a, b - a + 1);
}

}  // namespace

std::array<std::uint8_t, kRecordSize> encodeRecord(const SignatureFileRecord& r) {
    std::array<std::uint8_t, kRecordSize> b{};
    for (std::size_t i = 0; i < r.extension.size() && i < kMaxExtensionUnits; ++i)
        putLe(&b[sigrec::kExtension + 2 * i], r.extension[i], 2);
    b[sigrec::kExtensionLength] = r.extensionLength;
    std::copy(r.start.begin(), r.start.end(), b.begin() + sigrec::kStart);
    std::copy(r.end.begin(), r.end.end(), b.begin() + sigrec::kEnd);
    b[sigrec::kStartLength] = r.startLength;
    b[sigrec::kEndLength] = r.endLength;
    b[sigrec::kRecordIndex] = r.recordIndex;
    putLe(&b[sigrec::kOffsetToSize], static_cast<std::uint32_t>(r.offsetToSize), 4);
    putLe(&b[sigrec::kSizeBytes], r.sizeBytes, 4);
    putLe(&b[sigrec::kHeaderSize], r.headerSize, 4);
    b[sigrec::kIncludesHeader] = r.sizeIncludesHeader ? 1 : 0;
    putLe(&b[sigrec::kApproximateSize], static_cast<std::uint64_t>(r.approximateSize), 8);
    putLe(&b[sigrec::kSkipSize], static_cast<std::uint64_t>(r.skipSize), 8);
    for (std::size_t i = 0; i < r.category.size() && i < kMaxCategoryUnits; ++i)
        putLe(&b[sigrec::kCategory + 2 * i], r.category[i], 2);
    return b;
}

SignatureFileRecord decodeRecord(const std::uint8_t* b) {
    SignatureFileRecord r;
    r.extension = unitsUntilZero(b + sigrec::kExtension, kMaxExtensionUnits);
    r.extensionLength = b[sigrec::kExtensionLength];
    std::copy(b + sigrec::kStart, b + sigrec::kStart + kMaxSignatureBytes, r.start.begin());
    std::copy(b + sigrec::kEnd, b + sigrec::kEnd + kMaxSignatureBytes, r.end.begin());
    r.startLength = b[sigrec::kStartLength];
    r.endLength = b[sigrec::kEndLength];
    r.recordIndex = b[sigrec::kRecordIndex];
    r.offsetToSize = static_cast<std::int32_t>(getLe(b + sigrec::kOffsetToSize, 4));
    r.sizeBytes = static_cast<std::uint32_t>(getLe(b + sigrec::kSizeBytes, 4));
    r.headerSize = static_cast<std::uint32_t>(getLe(b + sigrec::kHeaderSize, 4));
    r.sizeIncludesHeader = b[sigrec::kIncludesHeader] != 0;
    r.approximateSize = static_cast<std::int64_t>(getLe(b + sigrec::kApproximateSize, 8));
    r.skipSize = static_cast<std::int64_t>(getLe(b + sigrec::kSkipSize, 8));
    r.category = unitsUntilZero(b + sigrec::kCategory, kMaxCategoryUnits);
    return r;
}

ParsedSignature parseSignatureText(const std::string& text) {
    ParsedSignature out;
    std::size_t from = 0;
    while (from <= text.size()) {
        std::size_t comma = text.find(',', from);
        if (comma == std::string::npos) comma = text.size();
        std::string piece = trimBlanks(text.substr(from, comma - from));
        from = comma + 1;
        if (piece.empty()) continue;
        std::size_t i = 0;
        if (piece.size() >= 2 && piece[0] == '0' && (piece[1] == 'x' || piece[1] == 'X')) i = 2;
        std::uint64_t value = 0;
        for (; i < piece.size() && std::isxdigit(static_cast<unsigned char>(piece[i])); ++i) {
            int c = std::tolower(static_cast<unsigned char>(piece[i]));
            value = (value << 4 | static_cast<std::uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10)) &
                    0xFFFFFFFFull;
        }
        out.bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
        ++out.valueCount;
    }
    return out;
}

std::int64_t parseNumberField(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
    std::int64_t v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (v > (LLONG_MAX - 9) / 10) return negative ? LLONG_MIN : LLONG_MAX;
        v = v * 10 + (text[i] - '0');
    }
    return negative ? -v : v;
}

BuiltRecord buildRecord(const SignatureInputs& in, std::uint8_t recordIndex) {
    SignatureFileRecord r;
    r.recordIndex = recordIndex;
    const std::u16string ext = toUtf16(in.extension);
    if (ext.empty()) return {std::nullopt, "extention length is zero.."};
    r.extension = ext.substr(0, kMaxExtensionUnits);
    r.extensionLength = static_cast<std::uint8_t>(ext.size() & 0xFF);

    const ParsedSignature start = parseSignatureText(in.startSignature);
    if (start.bytes.empty()) return {std::nullopt, "signature length is zero.."};
    const ParsedSignature end = parseSignatureText(in.endSignature);
    if (start.valueCount > kMaxSignatureBytes || end.valueCount > kMaxSignatureBytes)
        return {std::nullopt, "a signature holds at most 10 bytes.."};
    std::copy(start.bytes.begin(), start.bytes.end(), r.start.begin());
    r.startLength = static_cast<std::uint8_t>(start.bytes.size());
    std::copy(end.bytes.begin(), end.bytes.end(), r.end.begin());
    r.endLength = static_cast<std::uint8_t>(end.bytes.size());

    const std::int64_t offset = parseNumberField(in.offsetToSize);
    r.offsetToSize = offset != 0 ? static_cast<std::int32_t>(offset) : -1;
    r.sizeBytes = static_cast<std::uint32_t>(parseNumberField(in.sizeBytes));
    r.headerSize = static_cast<std::uint32_t>(parseNumberField(in.headerSize));
    r.sizeIncludesHeader = in.sizeIncludesHeader;
    // The record holds 64 bits: a size above 2 GiB is kept as typed.
    r.approximateSize = parseNumberField(in.approximateSize);
    r.skipSize = parseNumberField(in.skipSize);
    if (!in.category.empty()) r.category = toUtf16(in.category).substr(0, kMaxCategoryUnits);
    return {r, ""};
}

// ---------------------------------------------------------------------------------------------

SignatureFileWriter::~SignatureFileWriter() {
    close();
}

bool SignatureFileWriter::create(const std::string& path) {
    close();
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return fd_ >= 0;
}

void SignatureFileWriter::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

std::string SignatureFileWriter::append(const SignatureInputs& inputs) {
    if (fd_ < 0) return {};
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return "file can not be written";
    const auto index = static_cast<std::uint8_t>((st.st_size / kRecordSize) & 0xFF);
    BuiltRecord built = buildRecord(inputs, index);
    if (!built.record) return built.message;
    const std::array<std::uint8_t, kRecordSize> bytes = encodeRecord(*built.record);
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::pwrite(fd_, bytes.data() + done, bytes.size() - done,
                             static_cast<off_t>(st.st_size) + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return "file can not be written";
        done += static_cast<std::size_t>(n);
    }
    return "everything initialized well.....";
}

// ---------------------------------------------------------------------------------------------

SignatureDefinition definitionFromRecord(const SignatureFileRecord& r) {
    SignatureDefinition d;
    d.start = r.start;
    d.end = r.end;
    d.startLength = r.startLength;
    d.endLength = r.endLength;
    d.extension = r.extension;
    d.offsetToSize = r.offsetToSize > 0 ? r.offsetToSize : -1;
    d.sizeBytes = r.sizeBytes;
    d.headerSize = r.headerSize;
    d.sizeIncludesHeader = r.sizeIncludesHeader;
    d.approximateSize = r.approximateSize;
    d.skipSize = r.skipSize;
    d.category = r.category;
    return d;
}

LoadResult loadSignatureFile(const std::string& path, bool isDefaultFile,
                             std::vector<SignatureDefinition>& definitions) {
    LoadResult result;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0) ::close(fd);
        result.message = "can not open file";
        return result;
    }
    std::vector<std::uint8_t> bytes;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size >= kRecordSize && size - kRecordSize <= kMaxLastRecordStart) {
        bytes.resize(static_cast<std::size_t>(size));
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n =
                ::pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        bytes.resize(done);
    }
    ::close(fd);
    if (bytes.size() < kRecordSize || bytes.size() != size) {
        result.message = "not a valid file..";
        return result;
    }
    const std::size_t records = bytes.size() / kRecordSize;
    const SignatureFileRecord last = decodeRecord(&bytes[(records - 1) * kRecordSize]);
    const std::size_t count = static_cast<std::size_t>(last.recordIndex) + 1;
    // The last record names how many there are; a file that holds fewer is not whole.
    if ((!isDefaultFile && last.sizeBytes > 8) || count > records) {
        result.message = "not a valid file..";
        return result;
    }
    std::string notes;
    std::size_t overLimit = 0, firstOver = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const SignatureFileRecord r = decodeRecord(&bytes[i * kRecordSize]);
        SignatureDefinition d = definitionFromRecord(r);
        const std::string name =
            "signature " + std::to_string(i + 1) + " (" + utf16ToUtf8(r.extension) + ")";
        std::string why;
        if (r.startLength > kMaxSignatureBytes || r.endLength > kMaxSignatureBytes) {
            why = "its signature is longer than 10 bytes";
        } else if (d.sizeBytes != 0 &&
                   (d.offsetToSize < 0 ||
                    d.offsetToSize + static_cast<std::int64_t>(d.sizeBytes) > kSizeFieldWindow)) {
            why = "its size field lies outside the first 512 bytes";
        } else if (definitions.size() >= kMaxDefinitions) {
            if (overLimit++ == 0) firstOver = i + 1;
            continue;
        }
        if (!why.empty()) {
            notes += (notes.empty() ? "" : "\n") + name + " left out: " + why;
            continue;
        }
        if (isDefaultFile) d.format = formatForExtension(utf16ToUtf8(d.extension));
        definitions.push_back(d);
        ++result.loaded;
    }
    if (overLimit > 0)
        notes += (notes.empty() ? "" : "\n") + std::string("signatures ") +
                 std::to_string(firstOver) + " to " + std::to_string(firstOver + overLimit - 1) +
                 " left out: at most 128 signatures can be used at once";
    result.ok = true;
    result.message = notes;
    return result;
}

// ---------------------------------------------------------------------------------------------

std::vector<SignatureFileRecord> defaultSignatureRecords() {
    struct Row {
        const char* ext;
        std::vector<std::uint8_t> start, end;
        std::int64_t maxSize;
        const char* category;
    };
    constexpr std::int64_t MiB = 1 << 20;
    const std::vector<Row> rows = {
        {"jpg", {0xFF, 0xD8, 0xFF}, {0xFF, 0xD9}, 64 * MiB, "Images"},
        {"png",
         {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A},
         {'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82},
         64 * MiB,
         "Images"},
        {"gif", {'G', 'I', 'F', '8'}, {0x00, 0x3B}, 64 * MiB, "Images"},
        {"bmp", {'B', 'M'}, {}, 256 * MiB, "Images"},
        {"tif", {'I', 'I', 0x2A, 0x00}, {}, 512 * MiB, "Images"},
        {"tif", {'M', 'M', 0x00, 0x2A}, {}, 512 * MiB, "Images"},
        {"pdf", {'%', 'P', 'D', 'F', '-'}, {'%', '%', 'E', 'O', 'F'}, 256 * MiB, "Documents"},
        {"zip", {'P', 'K', 0x03, 0x04}, {}, 1024 * MiB, "Archives"},
        {"gz", {0x1F, 0x8B, 0x08}, {}, 1024 * MiB, "Archives"},
        {"7z", {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C}, {}, 4096 * MiB, "Archives"},
        {"mp3", {'I', 'D', '3'}, {}, 256 * MiB, "Audio"},
        {"wav", {'R', 'I', 'F', 'F', '*', '*', '*', '*', 'W', 'A'}, {}, 4096 * MiB, "Audio"},
        {"avi", {'R', 'I', 'F', 'F', '*', '*', '*', '*', 'A', 'V'}, {}, 4096 * MiB, "Video"},
        {"mp4", {'*', '*', '*', '*', 'f', 't', 'y', 'p'}, {}, 16384 * MiB, "Video"},
        {"db", {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f', 'o', 'r'}, {}, 4096 * MiB, "Databases"},
    };
    std::vector<SignatureFileRecord> out;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        SignatureFileRecord r;
        r.extension = toUtf16(row.ext);
        r.extensionLength = static_cast<std::uint8_t>(r.extension.size());
        std::copy(row.start.begin(), row.start.end(), r.start.begin());
        std::copy(row.end.begin(), row.end.end(), r.end.begin());
        r.startLength = static_cast<std::uint8_t>(row.start.size());
        r.endLength = static_cast<std::uint8_t>(row.end.size());
        r.recordIndex = static_cast<std::uint8_t>(i);
        r.approximateSize = row.maxSize;
        r.category = toUtf16(row.category);
        out.push_back(r);
    }
    return out;
}

std::string defaultSignatureFilePath() {
    std::string exeDir;
    char buf[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n > 0) {
        std::string exe(buf, static_cast<std::size_t>(n));
        exeDir = exe.substr(0, exe.rfind('/'));
    }
    const std::string beside = exeDir + "/" + kDefaultSignatureFileName;
    struct stat st {};
    if (::stat(beside.c_str(), &st) == 0) return beside;
#ifdef VELLORINE_BUILD_SIGNATURES
    if (::stat(VELLORINE_BUILD_SIGNATURES, &st) == 0) return VELLORINE_BUILD_SIGNATURES;
#endif
    return beside;
}

}  // namespace vel
