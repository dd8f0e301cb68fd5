#include "scan/Preview.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/Text.h"

namespace vel {

namespace {

bool startsWith(const std::vector<std::uint8_t>& b, std::initializer_list<int> magic,
                std::size_t at = 0) {
    if (b.size() < at + magic.size()) return false;
    std::size_t i = at;
    for (int m : magic)
        if (b[i++] != static_cast<std::uint8_t>(m)) return false;
    return true;
}

bool isImage(const std::vector<std::uint8_t>& b) {
    return startsWith(b, {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A}) ||
           startsWith(b, {0xFF, 0xD8, 0xFF}) || startsWith(b, {'G', 'I', 'F', '8'}) ||
           (startsWith(b, {'B', 'M'}) && b.size() >= 54) ||
           (startsWith(b, {'R', 'I', 'F', 'F'}) && startsWith(b, {'W', 'E', 'B', 'P'}, 8)) ||
           startsWith(b, {'I', 'I', 0x2A, 0x00}) || startsWith(b, {'M', 'M', 0x00, 0x2A});
}

bool hasUtf16Mark(const std::vector<std::uint8_t>& b) {
    return startsWith(b, {0xFF, 0xFE}) || startsWith(b, {0xFE, 0xFF});
}

// Well-formed UTF-8; a sequence cut at the end is forgiven only where the read limit cut it.
bool isUtf8(const std::vector<std::uint8_t>& b, bool cut) {
    const std::string text(b.begin(), b.end());
    const bool valid = isValidUtf8(text);
    if (valid || !cut) return valid;
    // Leave out the start of a character the limit cut (a lead byte and up to two more).
    std::size_t end = text.size();
    for (int tail = 0; tail < 3 && end > 0 && (text[end - 1] & 0xC0) == 0x80; ++tail) --end;
    if (end == 0 || (static_cast<unsigned char>(text[end - 1]) & 0xC0) != 0xC0) return false;
    return isValidUtf8(text.substr(0, end - 1));
}

}  // namespace

PreviewKind previewKind(const std::vector<std::uint8_t>& bytes) {
    if (bytes.empty()) return PreviewKind::Empty;
    if (isImage(bytes)) return PreviewKind::Image;
    if (hasUtf16Mark(bytes)) return PreviewKind::Text;
    // Text has no NUL and few other control bytes in its first few KiB.
    const std::size_t sample = std::min<std::size_t>(bytes.size(), 8192);
    std::size_t control = 0;
    for (std::size_t i = 0; i < sample; ++i) {
        const std::uint8_t c = bytes[i];
        if (c == 0) return PreviewKind::Hex;
        if (c < 0x20 && c != '\n' && c != '\r' && c != '\t' && c != '\f' && c != 0x1B) ++control;
    }
    return control * 100 <= sample ? PreviewKind::Text : PreviewKind::Hex;
}

std::string previewText(const std::vector<std::uint8_t>& bytes, bool cut) {
    if (hasUtf16Mark(bytes)) {
        const bool little = bytes[0] == 0xFF;
        std::u16string units;
        for (std::size_t i = 2; i + 1 < bytes.size(); i += 2)
            units += static_cast<char16_t>(little ? bytes[i] | bytes[i + 1] << 8
                                                  : bytes[i] << 8 | bytes[i + 1]);
        return utf16ToUtf8(units);
    }
    if (isUtf8(bytes, cut)) {
        std::size_t start = startsWith(bytes, {0xEF, 0xBB, 0xBF}) ? 3 : 0;
        return std::string(bytes.begin() + static_cast<std::ptrdiff_t>(start), bytes.end());
    }
    // Latin-1: each byte is the code point of the same number.
    return utf16ToUtf8(std::u16string(bytes.begin(), bytes.end()));
}

std::string hexListing(const std::vector<std::uint8_t>& bytes, std::size_t limit) {
    static constexpr char kHex[] = "0123456789abcdef";
    const std::size_t n = std::min(bytes.size(), limit);
    std::string out;
    out.reserve((n / 16 + 1) * 78);
    for (std::size_t line = 0; line < n; line += 16) {
        char offset[32];
        std::snprintf(offset, sizeof offset, "%08zx  ", line);
        out += offset;
        for (std::size_t i = 0; i < 16; ++i) {
            if (line + i < n) {
                out += kHex[bytes[line + i] >> 4];
                out += kHex[bytes[line + i] & 15];
                out += ' ';
            } else {
                out += "   ";
            }
            if (i == 7) out += ' ';
        }
        out += " |";
        for (std::size_t i = 0; i < 16 && line + i < n; ++i) {
            const std::uint8_t c = bytes[line + i];
            out += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.';
        }
        out += "|\n";
    }
    return out;
}

Preview makePreview(VolumeParser& parser, ItemData entry, std::size_t limit) {
    Preview p;
    if (!parser.isEntry(entry) || parser.isFolder(entry)) return p;
    MemoryWriter out(limit);
    p.whole = parser.writeEntry(entry, out);
    p.truncated = out.truncated();
    p.bytes = out.bytes();
    // A file cut at the limit was read as far as asked; only a read that ended early is damage.
    if (p.truncated) p.whole = true;
    if (p.bytes.empty()) {
        p.kind = p.whole ? PreviewKind::Empty : PreviewKind::Unreadable;
        return p;
    }
    p.kind = previewKind(p.bytes);
    if (p.kind == PreviewKind::Text) p.text = previewText(p.bytes, p.truncated);
    if (p.kind == PreviewKind::Hex) p.text = hexListing(p.bytes, kHexPreviewBytes);
    return p;
}

}  // namespace vel
