#include "raw/CarveFormats.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "fs/common/Endian.h"

namespace vel {

namespace {

bool same(const std::uint8_t* p, const char* text) {
    return p && std::memcmp(p, text, std::strlen(text)) == 0;
}

CarveVerdict reject() {
    return {};
}
CarveVerdict exact(std::uint64_t size, std::string ext = {}) {
    return {CarveStatus::Exact, size, std::move(ext)};
}
CarveVerdict partial(std::uint64_t size, std::string ext = {}) {
    return {CarveStatus::Partial, std::max<std::uint64_t>(size, 1), std::move(ext)};
}

// CRC-32 of count bytes from offset; false when they are not all there.
bool crcOfRange(const ByteWindow& w, std::uint64_t offset, std::uint64_t count,
                std::uint32_t& crc) {
    crc = 0;
    while (count > 0) {
        std::span<const std::uint8_t> p = w.piece(offset);
        if (p.empty()) return false;
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(p.size(), count));
        crc = crc32Of(p.data(), n, crc);
        offset += n;
        count -= n;
    }
    return true;
}

bool isPrintable(std::uint8_t c) {
    return c >= 0x20 && c < 0x7F;
}

}  // namespace

std::uint32_t crc32Of(const std::uint8_t* data, std::size_t size, std::uint32_t crc) {
    while (size > 0) {
        auto n = static_cast<uInt>(std::min<std::size_t>(size, 1u << 30));
        crc = static_cast<std::uint32_t>(::crc32(crc, data, n));
        data += n;
        size -= n;
    }
    return crc;
}

FormatKind formatForExtension(const std::string& extension) {
    std::string e = extension;
    for (char& c : e) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (e == "jpg" || e == "jpeg") return FormatKind::Jpeg;
    if (e == "png") return FormatKind::Png;
    if (e == "gif") return FormatKind::Gif;
    if (e == "bmp") return FormatKind::Bmp;
    if (e == "tif" || e == "tiff") return FormatKind::Tiff;
    if (e == "pdf") return FormatKind::Pdf;
    if (e == "zip") return FormatKind::Zip;
    if (e == "mp3") return FormatKind::Mp3;
    if (e == "wav" || e == "avi") return FormatKind::Riff;
    if (e == "mp4" || e == "mov") return FormatKind::Mp4;
    if (e == "gz") return FormatKind::Gzip;
    if (e == "7z") return FormatKind::SevenZip;
    if (e == "sqlite" || e == "db") return FormatKind::Sqlite;
    return FormatKind::None;
}

// ---------------------------------------------------------------------------------------------
// ByteWindow

namespace {
constexpr std::size_t kFetchBlock = 1 << 20;
}

ByteWindow::ByteWindow(std::span<const std::uint8_t> head, std::uint64_t size)
    : head_(head.size() > size ? head.first(static_cast<std::size_t>(size)) : head), size_(size) {}

bool ByteWindow::fetch(std::uint64_t, std::uint8_t*, std::size_t) const {
    return false;
}

std::span<const std::uint8_t> ByteWindow::piece(std::uint64_t offset) const {
    if (offset >= size_) return {};
    if (offset < head_.size()) return head_.subspan(static_cast<std::size_t>(offset));
    if (blockStart_ != ~0ull && offset >= blockStart_ && offset < blockStart_ + block_.size())
        return std::span<const std::uint8_t>(block_).subspan(
            static_cast<std::size_t>(offset - blockStart_));
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kFetchBlock, size_ - offset));
    block_.resize(n);
    if (!fetch(offset, block_.data(), n)) {
        block_.clear();
        blockStart_ = ~0ull;
        return {};
    }
    blockStart_ = offset;
    return block_;
}

const std::uint8_t* ByteWindow::at(std::uint64_t offset, std::size_t n) const {
    if (n > kMaxAt || offset > size_ || size_ - offset < n) return nullptr;
    std::span<const std::uint8_t> p = piece(offset);
    if (p.size() >= n) return p.data();
    // Straddles the end of what is in memory: gather it.
    std::size_t got = 0;
    while (got < n) {
        p = piece(offset + got);
        if (p.empty()) return nullptr;
        std::size_t k = std::min(p.size(), n - got);
        std::memcpy(scratch_ + got, p.data(), k);
        got += k;
    }
    return scratch_;
}

std::uint64_t ByteWindow::find(std::uint64_t from, std::span<const std::uint8_t> needle,
                               std::uint64_t limit) const {
    const std::size_t n = needle.size();
    if (n == 0 || n > kMaxAt) return npos;
    limit = std::min(limit, size_);
    std::uint64_t pos = from;
    while (pos < limit && limit - pos >= n) {
        std::span<const std::uint8_t> p = piece(pos);
        if (p.empty()) return npos;
        std::size_t avail =
            static_cast<std::size_t>(std::min<std::uint64_t>(p.size(), limit - pos));
        if (avail >= n) {
            const void* hit = ::memmem(p.data(), avail, needle.data(), n);
            if (hit)
                return pos +
                       static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(hit) - p.data());
        }
        std::uint64_t next = pos + avail;
        // A match that begins in this piece and ends in the next.
        for (std::uint64_t s = next > pos + n - 1 ? next - n + 1 : pos; s < next; ++s) {
            if (s + n > limit) break;
            const std::uint8_t* q = at(s, n);
            if (q && std::memcmp(q, needle.data(), n) == 0) return s;
        }
        pos = next;
    }
    return npos;
}

// ---------------------------------------------------------------------------------------------
// JPEG: the marker walk to the end-of-image marker; entropy-coded data is passed with a byte
// search for 0xFF (stuffed zeros and restart markers belong to the data).

CarveVerdict checkJpeg(const ByteWindow& w) {
    const std::uint8_t* h = w.at(0, 4);
    if (!h || h[0] != 0xFF || h[1] != 0xD8 || h[2] != 0xFF) return reject();
    std::uint64_t pos = 2;
    bool frame = false, scan = false;
    const std::uint64_t end = w.size();
    for (int guard = 0; guard < 1 << 20; ++guard) {
        const std::uint8_t* m = w.at(pos, 2);
        if (!m || m[0] != 0xFF) break;
        std::uint64_t p = pos + 1;
        int fill = 0;
        const std::uint8_t* c = w.at(p, 1);
        while (c && *c == 0xFF && fill++ < 64) c = w.at(++p, 1);
        if (!c) break;
        const std::uint8_t code = *c;
        const std::uint64_t after = p + 1;
        if (code == 0xD9) {
            if (frame && scan) return exact(after);
            break;
        }
        if ((code >= 0xD0 && code <= 0xD7) || code == 0x01) {
            pos = after;
            continue;
        }
        if (code < 0xC0 || code == 0xD8 || code == 0xFF) break;
        const std::uint8_t* lp = w.at(after, 2);
        if (!lp) break;
        const std::uint16_t len = be16(lp);
        if (len < 2 || after + len > end) break;
        const bool sof =
            code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC;
        if (sof) {
            const std::uint8_t* f = w.at(after, 8);
            if (!f || len < 11) break;
            const int precision = f[2], components = f[7];
            if ((precision != 8 && precision != 12 && precision != 16) || be16(f + 5) == 0 ||
                components < 1 || components > 4 || len != 8 + 3 * components)
                break;
            frame = true;
        } else if (code == 0xDB && len < 67) {
            break;
        } else if (code == 0xC4 && len < 19) {
            break;
        }
        pos = after + len;
        if (code != 0xDA) continue;
        // Start of scan: header checked, then the entropy-coded data up to the next marker.
        const std::uint8_t* s = w.at(after, 3);
        if (!s || s[2] < 1 || s[2] > 4 || len != 6 + 2 * s[2] || !frame) break;
        scan = true;
        bool marker = false;
        while (!marker) {
            std::span<const std::uint8_t> piece = w.piece(pos);
            if (piece.empty()) break;
            const void* ff = std::memchr(piece.data(), 0xFF, piece.size());
            if (!ff) {
                pos += piece.size();
                continue;
            }
            std::uint64_t q = pos + static_cast<std::uint64_t>(
                                        static_cast<const std::uint8_t*>(ff) - piece.data());
            const std::uint8_t* b = w.at(q + 1, 1);
            if (!b) {
                pos = q;
                break;
            }
            if (*b == 0x00 || (*b >= 0xD0 && *b <= 0xD7)) {
                pos = q + 2;
            } else if (*b == 0xFF) {
                pos = q + 1;
            } else {
                pos = q;
                marker = true;
            }
        }
        if (!marker) break;
    }
    return frame ? partial(pos) : reject();
}

// ---------------------------------------------------------------------------------------------
// PNG: the chunk walk to IEND, every chunk's CRC checked.

CarveVerdict checkPng(const ByteWindow& w) {
    static const std::uint8_t sig[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    const std::uint8_t* h = w.at(0, 33);
    if (!h || std::memcmp(h, sig, 8) != 0) return reject();
    // IHDR first, 13 bytes, sane fields.
    if (be32(h + 8) != 13 || !same(h + 12, "IHDR") || be32(h + 16) == 0 || be32(h + 20) == 0)
        return reject();
    const int depth = h[24], colour = h[25];
    if ((depth != 1 && depth != 2 && depth != 4 && depth != 8 && depth != 16) ||
        (colour != 0 && colour != 2 && colour != 3 && colour != 4 && colour != 6) || h[26] != 0 ||
        h[27] != 0 || h[28] > 1)
        return reject();
    std::uint64_t pos = 8;
    for (int guard = 0; guard < 1 << 22; ++guard) {
        const std::uint8_t* c = w.at(pos, 8);
        if (!c) break;
        const std::uint32_t len = be32(c);
        bool typeOk = true;
        for (int i = 4; i < 8; ++i)
            typeOk = typeOk && ((c[i] >= 'A' && c[i] <= 'Z') || (c[i] >= 'a' && c[i] <= 'z'));
        if (len > 0x7FFFFFFFu || !typeOk || pos + 12 + len > w.size()) break;
        const bool iend = same(c + 4, "IEND");
        std::uint32_t crc = 0;
        const std::uint8_t* stored = nullptr;
        if (!crcOfRange(w, pos + 4, 4ull + len, crc) || !(stored = w.at(pos + 8 + len, 4)) ||
            be32(stored) != crc) {
            if (pos == 8) return reject();  // IHDR itself
            break;
        }
        pos += 12ull + len;
        if (iend) return exact(pos);
    }
    return partial(pos);
}

// ---------------------------------------------------------------------------------------------
// GIF: the block walk (extensions, images and their data sub-blocks) to the trailer.

CarveVerdict checkGif(const ByteWindow& w) {
    const std::uint8_t* h = w.at(0, 13);
    if (!h || !(same(h, "GIF87a") || same(h, "GIF89a")) || le16(h + 6) == 0 || le16(h + 8) == 0)
        return reject();
    std::uint64_t pos = 13;
    if (h[10] & 0x80) pos += 3ull << ((h[10] & 7) + 1);
    int images = 0;
    auto subBlocks = [&]() {
        for (int guard = 0; guard < 1 << 24; ++guard) {
            const std::uint8_t* n = w.at(pos, 1);
            if (!n) return false;
            pos += 1;
            if (*n == 0) return true;
            pos += *n;
        }
        return false;
    };
    for (int guard = 0; guard < 1 << 20; ++guard) {
        const std::uint8_t* b = w.at(pos, 1);
        if (!b) break;
        if (*b == 0x3B) {
            if (images > 0) return exact(pos + 1);
            break;
        }
        if (*b == 0x21) {
            if (!w.at(pos + 1, 1)) break;
            pos += 2;
            if (!subBlocks()) break;
        } else if (*b == 0x2C) {
            const std::uint8_t* d = w.at(pos, 11);
            if (!d || le16(d + 5) == 0 || le16(d + 7) == 0) break;
            const std::uint8_t flags = d[9];
            pos += 10;
            if (flags & 0x80) pos += 3ull << ((flags & 7) + 1);
            const std::uint8_t* lzw = w.at(pos, 1);
            if (!lzw || *lzw < 1 || *lzw > 12) break;
            pos += 1;
            if (!subBlocks()) break;
            ++images;
        } else {
            break;
        }
    }
    // A block length may point past the window's end.
    return images > 0 ? partial(std::min(pos, w.size())) : reject();
}

// ---------------------------------------------------------------------------------------------
// BMP: the file size field, checked against the header and the pixel data it must hold.

CarveVerdict checkBmp(const ByteWindow& w) {
    const std::uint8_t* h = w.at(0, 54);
    if (!h || h[0] != 'B' || h[1] != 'M') return reject();
    const std::uint64_t fileSize = le32(h + 2);
    const std::uint32_t dataOffset = le32(h + 10), dib = le32(h + 14);
    if (le32(h + 6) != 0) return reject();
    if (dib != 12 && dib != 40 && dib != 52 && dib != 56 && dib != 64 && dib != 108 && dib != 124)
        return reject();
    std::int64_t width, height;
    unsigned planes, bpp, compression = 0;
    std::uint64_t imageSize = 0;
    if (dib == 12) {
        width = le16(h + 18);
        height = le16(h + 20);
        planes = le16(h + 22);
        bpp = le16(h + 24);
    } else {
        width = static_cast<std::int32_t>(le32(h + 18));
        height = static_cast<std::int32_t>(le32(h + 22));
        planes = le16(h + 26);
        bpp = le16(h + 28);
        compression = le32(h + 30);
        imageSize = le32(h + 34);
    }
    if (planes != 1 || width <= 0 || width > 1 << 16 || height == 0 || height > 1 << 16 ||
        height < -(1 << 16))
        return reject();
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) return reject();
    if (dataOffset < 14 + dib || dataOffset >= fileSize) return reject();
    const std::uint64_t rows = static_cast<std::uint64_t>(height < 0 ? -height : height);
    const std::uint64_t rowBytes = (static_cast<std::uint64_t>(width) * bpp + 31) / 32 * 4;
    if (compression == 0 || compression == 3 || compression == 6) {
        const std::uint64_t pixels = dataOffset + rowBytes * rows;
        if (fileSize < pixels || fileSize > pixels + 4096) return reject();
    } else if (compression == 1 || compression == 2) {
        if (imageSize == 0 || fileSize < dataOffset + imageSize) return reject();
    } else {
        return reject();
    }
    if (fileSize > w.size()) return partial(w.size());
    return exact(fileSize);
}

// ---------------------------------------------------------------------------------------------
// TIFF: the IFD walk; the file ends with the last byte any IFD, value or strip refers to.

CarveVerdict checkTiff(const ByteWindow& w) {
    const std::uint8_t* h = w.at(0, 16);
    if (!h) return reject();
    bool little;
    if (h[0] == 'I' && h[1] == 'I' && h[2] == 0x2A && h[3] == 0) {
        little = true;
    } else if (h[0] == 'M' && h[1] == 'M' && h[2] == 0 && h[3] == 0x2A) {
        little = false;
    } else {
        return reject();
    }
    auto u16 = [&](const std::uint8_t* p) { return little ? le16(p) : be16(p); };
    auto u32 = [&](const std::uint8_t* p) { return little ? le32(p) : be32(p); };
    static const unsigned kTypeSize[14] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
    const std::string ext = h[8] == 'C' && h[9] == 'R' ? "cr2" : "tif";

    std::uint64_t end = 8;
    std::vector<std::uint64_t> pending = {u32(h + 4)};
    std::set<std::uint64_t> seen;
    bool first = true;
    auto readValue = [&](std::uint64_t at, unsigned type) -> std::uint64_t {
        const std::uint8_t* p = w.at(at, 4);
        if (!p) return 0;
        return type == 3 ? u16(p) : u32(p);
    };
    while (!pending.empty() && seen.size() < 256) {
        const std::uint64_t ifd = pending.back();
        pending.pop_back();
        if (ifd < 8 || (ifd & 1) || !seen.insert(ifd).second) continue;
        const std::uint8_t* c = w.at(ifd, 2);
        const unsigned count = c ? u16(c) : 0;
        const std::uint64_t ifdEnd = ifd + 2 + 12ull * count + 4;
        if (count == 0 || count > 4096 || ifdEnd > w.size()) {
            if (first) return reject();
            return partial(end, ext);
        }
        end = std::max(end, ifdEnd);
        unsigned prevTag = 0;
        bool hasWidth = false;
        std::uint64_t offsetsAt[2] = {0, 0}, countsAt[2] = {0, 0};
        unsigned offsetsType[2] = {0, 0}, countsType[2] = {0, 0};
        std::uint64_t offsetsCount[2] = {0, 0}, countsCount[2] = {0, 0};
        std::uint64_t jpegOffset = 0, jpegLength = 0;
        for (unsigned i = 0; i < count; ++i) {
            const std::uint64_t e = ifd + 2 + 12ull * i;
            const std::uint8_t* p = w.at(e, 12);
            if (!p) return first ? reject() : partial(end, ext);
            const unsigned tag = u16(p), type = u16(p + 2);
            const std::uint64_t n = u32(p + 4);
            if (type == 0 || type > 13 || (i > 0 && tag <= prevTag))
                return first ? reject() : partial(end, ext);
            prevTag = tag;
            hasWidth = hasWidth || tag == 256;
            const std::uint64_t bytes = n * kTypeSize[type];
            const std::uint64_t valueAt = bytes > 4 ? u32(p + 8) : e + 8;
            if (bytes > 4) {
                if (valueAt + bytes > w.size()) return first ? reject() : partial(end, ext);
                end = std::max(end, valueAt + bytes);
            }
            const int slot = tag == 273 || tag == 279 ? 0 : tag == 324 || tag == 325 ? 1 : -1;
            if (tag == 273 || tag == 324) {
                offsetsAt[slot] = valueAt;
                offsetsType[slot] = type;
                offsetsCount[slot] = n;
            } else if (tag == 279 || tag == 325) {
                countsAt[slot] = valueAt;
                countsType[slot] = type;
                countsCount[slot] = n;
            } else if (tag == 513) {
                jpegOffset = readValue(valueAt, type);
            } else if (tag == 514) {
                jpegLength = readValue(valueAt, type);
            } else if ((tag == 330 || tag == 34665 || tag == 34853 || tag == 40965) &&
                       (type == 4 || type == 13) && n <= 64) {
                for (std::uint64_t k = 0; k < n; ++k)
                    pending.push_back(readValue(valueAt + 4 * k, 4));
            }
        }
        if (first && !hasWidth) return reject();
        for (int s = 0; s < 2; ++s) {
            if (offsetsCount[s] == 0 || offsetsCount[s] != countsCount[s] ||
                offsetsCount[s] > 1 << 20)
                continue;
            const unsigned os = kTypeSize[offsetsType[s]], cs = kTypeSize[countsType[s]];
            for (std::uint64_t k = 0; k < offsetsCount[s]; ++k) {
                const std::uint64_t off = readValue(offsetsAt[s] + os * k, offsetsType[s]);
                const std::uint64_t len = readValue(countsAt[s] + cs * k, countsType[s]);
                if (off + len > w.size()) return first ? reject() : partial(end, ext);
                end = std::max(end, off + len);
            }
        }
        if (jpegOffset && jpegLength && jpegOffset + jpegLength <= w.size())
            end = std::max(end, jpegOffset + jpegLength);
        const std::uint8_t* next = w.at(ifdEnd - 4, 4);
        if (next && u32(next) != 0) pending.push_back(u32(next));
        first = false;
    }
    return first ? reject() : exact(end, ext);
}

// ---------------------------------------------------------------------------------------------
// PDF: the last %%EOF of the file. An incremental update adds objects and a new %%EOF after the
// first one, so the search goes on while what follows an %%EOF is more of the file; the cross
// reference that startxref names must be where it says.

namespace {

bool isPdfSpace(std::uint8_t c) {
    return c == 0 || c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ';
}

// "N G obj" or "xref" at offset.
bool pdfObjectAt(const ByteWindow& w, std::uint64_t offset) {
    const std::uint8_t* p = w.at(offset, 32);
    std::size_t n = 32;
    if (!p) {
        n = static_cast<std::size_t>(
            std::min<std::uint64_t>(32, w.size() - std::min(w.size(), offset)));
        p = n ? w.at(offset, n) : nullptr;
        if (!p) return false;
    }
    if (n >= 4 && same(p, "xref")) return true;
    std::size_t i = 0;
    auto digits = [&] {
        std::size_t s = i;
        while (i < n && p[i] >= '0' && p[i] <= '9') ++i;
        return i > s;
    };
    auto spaces = [&] {
        std::size_t s = i;
        while (i < n && isPdfSpace(p[i])) ++i;
        return i > s;
    };
    return digits() && spaces() && digits() && spaces() && i + 3 <= n && p[i] == 'o' &&
           p[i + 1] == 'b' && p[i + 2] == 'j';
}

// The offset that the startxref before eofAt gives, when it points at a cross reference.
bool pdfStartXrefValid(const ByteWindow& w, std::uint64_t eofAt) {
    static const std::uint8_t kw[] = {'s', 't', 'a', 'r', 't', 'x', 'r', 'e', 'f'};
    const std::uint64_t from = eofAt > 64 ? eofAt - 64 : 0;
    std::uint64_t k = w.find(from, kw, eofAt), last = ByteWindow::npos;
    while (k != ByteWindow::npos) {
        last = k;
        k = w.find(k + 1, kw, eofAt);
    }
    if (last == ByteWindow::npos) return false;
    std::uint64_t p = last + sizeof kw, value = 0;
    int digits = 0;
    for (; p < eofAt; ++p) {
        const std::uint8_t* c = w.at(p, 1);
        if (!c) return false;
        if (*c >= '0' && *c <= '9') {
            value = value * 10 + (*c - '0');
            if (++digits > 15) return false;
        } else if (!isPdfSpace(*c) || digits > 0) {
            break;
        }
    }
    return digits > 0 && value < eofAt && pdfObjectAt(w, value);
}

}  // namespace

CarveVerdict checkPdf(const ByteWindow& w) {
    const std::uint8_t* h = w.at(0, 8);
    if (!h || !same(h, "%PDF-") || h[5] < '1' || h[5] > '2' || h[6] != '.' || h[7] < '0' ||
        h[7] > '9')
        return reject();
    // The first object follows the header closely.
    static const std::uint8_t objKeyword[] = {'o', 'b', 'j'};
    if (w.find(8, objKeyword, 1024) == ByteWindow::npos) return reject();
    static const std::uint8_t eof[] = {'%', '%', 'E', 'O', 'F'};
    std::uint64_t pos = 8, lastEnd = 0;
    bool lastValid = false;
    for (int guard = 0; guard < 4096; ++guard) {
        const std::uint64_t q = w.find(pos, eof, w.size());
        if (q == ByteWindow::npos) break;
        std::uint64_t end = q + sizeof eof;
        const std::uint8_t* c = w.at(end, 1);
        if (c && *c == '\r') c = w.at(++end, 1);
        if (c && *c == '\n') ++end;
        lastEnd = end;
        lastValid = pdfStartXrefValid(w, q);
        // More of the same file follows when the next thing is an object or a cross reference.
        std::uint64_t next = end;
        for (int i = 0; i < 64 && (c = w.at(next, 1)) && isPdfSpace(*c); ++i) ++next;
        if (!c || !pdfObjectAt(w, next)) break;
        pos = end;
    }
    if (lastEnd == 0) {
        // No end at all: keep what reaches the last complete object.
        static const std::uint8_t endobj[] = {'e', 'n', 'd', 'o', 'b', 'j'};
        std::uint64_t k = w.find(8, endobj, w.size()), last = ByteWindow::npos;
        while (k != ByteWindow::npos) {
            last = k;
            k = w.find(k + 1, endobj, w.size());
        }
        return last == ByteWindow::npos ? reject() : partial(last + sizeof endobj);
    }
    return lastValid ? exact(lastEnd) : partial(lastEnd);
}

// ---------------------------------------------------------------------------------------------
// ZIP and its kin: the end-of-central-directory record that agrees with the central directory
// before it, plus the archive comment.

namespace {

std::string zipKind(const ByteWindow& w, std::uint64_t cdOffset, std::uint64_t cdSize,
                    std::uint64_t entries) {
    // OpenDocument and EPUB name their type in a first, stored "mimetype" entry.
    const std::uint8_t* h = w.at(0, 30);
    if (h && le16(h + 26) == 8 && le16(h + 8) == 0) {
        const std::uint8_t* name = w.at(30, 8);
        const std::uint32_t size = le32(h + 22);
        const std::uint8_t* type =
            size > 0 && size <= 64 ? w.at(30 + 8 + le16(h + 28), size) : nullptr;
        if (name && same(name, "mimetype") && type) {
            std::string t(reinterpret_cast<const char*>(type), size);
            if (t == "application/vnd.oasis.opendocument.text") return "odt";
            if (t == "application/vnd.oasis.opendocument.spreadsheet") return "ods";
            if (t == "application/vnd.oasis.opendocument.presentation") return "odp";
            if (t == "application/vnd.oasis.opendocument.graphics") return "odg";
            if (t == "application/epub+zip") return "epub";
        }
    }
    std::uint64_t p = cdOffset;
    for (std::uint64_t i = 0; i < entries && i < 65536 && p + 46 <= cdOffset + cdSize; ++i) {
        const std::uint8_t* e = w.at(p, 46);
        if (!e || !same(e, "PK\x01\x02")) break;
        const unsigned n = le16(e + 28);
        const std::uint8_t* name = w.at(p + 46, std::min<std::size_t>(n, 20));
        if (name) {
            std::string s(reinterpret_cast<const char*>(name), std::min<std::size_t>(n, 20));
            if (s.rfind("word/", 0) == 0) return "docx";
            if (s.rfind("xl/", 0) == 0) return "xlsx";
            if (s.rfind("ppt/", 0) == 0) return "pptx";
            if (s == "META-INF/MANIFEST.MF") return "jar";
            if (s == "AndroidManifest.xml") return "apk";
        }
        p += 46ull + n + le16(e + 30) + le16(e + 32);
    }
    return "zip";
}

}  // namespace

CarveVerdict checkZip(const ByteWindow& w) {
    const std::uint8_t* h = w.at(0, 30);
    if (!h || !same(h, "PK\x03\x04")) return reject();
    const unsigned version = le16(h + 4), method = le16(h + 8), nameLen = le16(h + 26);
    static const unsigned kMethods[] = {0, 1, 6, 8, 9, 12, 14, 19, 93, 95, 96, 97, 98, 99};
    if ((version & 0xFF) > 63 || (version >> 8) > 19 || nameLen == 0 || nameLen > 1024 ||
        std::find(std::begin(kMethods), std::end(kMethods), method) == std::end(kMethods))
        return reject();
    for (unsigned i = 0; i < nameLen && i < ByteWindow::kMaxAt; ++i) {
        const std::uint8_t* c = w.at(30 + i, 1);
        if (!c || *c < 0x20) return reject();
    }
    static const std::uint8_t eocd[] = {'P', 'K', 5, 6};
    std::uint64_t from = 30ull + nameLen + le16(h + 28);
    for (int guard = 0; guard < 1 << 16; ++guard) {
        const std::uint64_t e = w.find(from, eocd, w.size());
        if (e == ByteWindow::npos) break;
        from = e + 1;
        const std::uint8_t* r = w.at(e, 22);
        if (!r) break;
        std::uint64_t entries = le16(r + 10), cdSize = le32(r + 12), cdOffset = le32(r + 16);
        const std::uint64_t end = e + 22 + le16(r + 20);
        if (le16(r + 4) != 0 && le16(r + 4) != 0xFFFF) continue;
        if (le16(r + 8) != le16(r + 10)) continue;
        std::uint64_t cdEnd = e;
        if (cdOffset == 0xFFFFFFFF || cdSize == 0xFFFFFFFF || entries == 0xFFFF) {
            // Zip64: the locator just before the record names the zip64 end record.
            const std::uint8_t* loc = e >= 20 ? w.at(e - 20, 20) : nullptr;
            if (!loc || !same(loc, "PK\x06\x07")) continue;
            const std::uint64_t z = le64(loc + 8);
            const std::uint8_t* r64 = w.at(z, 56);
            if (!r64 || !same(r64, "PK\x06\x06") || z >= e) continue;
            entries = le64(r64 + 32);
            cdSize = le64(r64 + 40);
            cdOffset = le64(r64 + 48);
            cdEnd = z;
        }
        if (cdOffset + cdSize != cdEnd || end > w.size()) continue;
        const std::uint8_t* cd = w.at(cdOffset, 4);
        if (entries > 0 && (!cd || !same(cd, "PK\x01\x02"))) continue;
        return exact(end, zipKind(w, cdOffset, cdSize, entries));
    }
    // No end record agrees: keep the local entries that follow one another.
    std::uint64_t p = 0;
    int entries = 0;
    for (; entries < 1 << 16; ++entries) {
        const std::uint8_t* l = w.at(p, 30);
        if (!l || !same(l, "PK\x03\x04") || (le16(l + 6) & 8)) break;
        const std::uint64_t next = p + 30 + le16(l + 26) + le16(l + 28) + le32(l + 18);
        if (next > w.size()) break;
        p = next;
    }
    return entries > 0 ? partial(p) : reject();
}

// ---------------------------------------------------------------------------------------------
// MP3 with an ID3v2 tag: the tag's size, then the walk over MPEG audio frame headers, then an
// optional ID3v1 tag.

namespace {

struct MpegFrame {
    std::uint32_t length = 0;
    std::uint32_t key = 0;  // version, layer and sample rate: the same in every frame
};

bool mpegFrame(const std::uint8_t* p, MpegFrame& f) {
    static const std::uint16_t kBitrate[5][16] = {
        {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448, 0},
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 0},
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 0},
        {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256, 0},
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0}};
    static const std::uint32_t kRate[3] = {44100, 48000, 32000};
    if (p[0] != 0xFF || (p[1] & 0xE0) != 0xE0) return false;
    const int version = (p[1] >> 3) & 3, layer = (p[1] >> 1) & 3;
    const int bitrateIndex = p[2] >> 4, rateIndex = (p[2] >> 2) & 3, padding = (p[2] >> 1) & 1;
    if (version == 1 || layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3)
        return false;
    const bool v1 = version == 3;
    const int table = v1 ? (layer == 3 ? 0 : layer == 2 ? 1 : 2) : (layer == 3 ? 3 : 4);
    const std::uint32_t bitrate = kBitrate[table][bitrateIndex] * 1000u;
    const std::uint32_t rate = kRate[rateIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
    if (layer == 3) {
        f.length = (12 * bitrate / rate + padding) * 4;
    } else if (layer == 2 || v1) {
        f.length = 144 * bitrate / rate + padding;
    } else {
        f.length = 72 * bitrate / rate + padding;
    }
    f.key = static_cast<std::uint32_t>(version << 4 | layer << 2 | rateIndex);
    return f.length >= 4;
}

}  // namespace

CarveVerdict checkMp3(const ByteWindow& w) {
    const std::uint8_t* h = w.at(0, 14);
    if (!h || !same(h, "ID3") || h[3] < 2 || h[3] > 4 || h[4] == 0xFF || (h[5] & 0x0F))
        return reject();
    for (int i = 6; i < 10; ++i)
        if (h[i] & 0x80) return reject();
    const std::uint64_t tagSize =
        static_cast<std::uint64_t>(h[6]) << 21 | h[7] << 14 | h[8] << 7 | h[9];
    std::uint64_t pos = 10 + tagSize + ((h[3] == 4 && (h[5] & 0x10)) ? 10 : 0);
    if (pos > w.size()) return reject();
    // Padding some taggers leave between the tag and the audio.
    for (int i = 0; i < 1 << 16; ++i) {
        const std::uint8_t* z = w.at(pos, 1);
        if (!z || *z != 0) break;
        ++pos;
    }
    int frames = 0;
    MpegFrame first, f;
    bool ranOut = false;
    for (; frames < 1 << 24; ++frames) {
        const std::uint8_t* p = w.at(pos, 4);
        if (!p || !mpegFrame(p, f) || (frames > 0 && f.key != first.key)) {
            ranOut = !p;
            break;
        }
        if (pos + f.length > w.size()) {
            ranOut = true;
            break;
        }
        if (frames == 0) first = f;
        pos += f.length;
    }
    if (frames < 2) return reject();
    // Audio that runs into the end of what may belong to it was cut, not ended.
    if (ranOut) return partial(pos);
    const std::uint8_t* tag = w.at(pos, 3);
    if (tag && same(tag, "TAG") && pos + 128 <= w.size()) pos += 128;
    return exact(pos);
}

// ---------------------------------------------------------------------------------------------
// RIFF (WAVE, AVI): the size field, confirmed by a walk over the top-level chunks.

CarveVerdict checkRiff(const ByteWindow& w) {
    const std::uint8_t* h = w.at(0, 20);
    if (!h || !same(h, "RIFF")) return reject();
    std::string ext;
    if (same(h + 8, "WAVE")) {
        ext = "wav";
    } else if (same(h + 8, "AVI ")) {
        ext = "avi";
    } else if (same(h + 8, "WEBP")) {
        ext = "webp";
    } else {
        return reject();
    }
    const std::uint64_t size = 8ull + le32(h + 4);
    if (size < 20) return reject();
    std::uint64_t p = 12;
    int chunks = 0;
    bool format = false;
    for (; p < size && chunks < 1 << 20; ++chunks) {
        const std::uint8_t* c = w.at(p, 8);
        if (!c) break;
        bool idOk = true;
        for (int i = 0; i < 4; ++i) idOk = idOk && isPrintable(c[i]);
        const std::uint64_t len = le32(c + 4);
        if (!idOk || p + 8 + len > size) break;
        if (chunks == 0) {
            if (ext == "wav" && !same(c, "fmt ") && !same(c, "LIST") && !same(c, "JUNK") &&
                !same(c, "bext"))
                return reject();
            if (ext == "avi" && !same(c, "LIST")) return reject();
        }
        format = format || same(c, "fmt ") || same(c, "LIST") || same(c, "VP8");
        p += 8 + len + (len & 1);
    }
    if (chunks == 0 || !format) return reject();
    if (p >= size && p <= size + 1) {
        if (size > w.size()) return partial(w.size(), ext);
        return exact(size, ext);
    }
    // The last chunk walked may reach past the window's end.
    return partial(std::min(p, w.size()), ext);
}

// ---------------------------------------------------------------------------------------------
// MP4 / QuickTime: the walk over top-level boxes; a movie needs its "moov" and "mdat".

CarveVerdict checkMp4(const ByteWindow& w) {
    const std::uint8_t* h = w.at(0, 16);
    if (!h || !same(h + 4, "ftyp")) return reject();
    const std::uint32_t ftypSize = be32(h);
    if (ftypSize < 16 || ftypSize > 1024 || (ftypSize & 3)) return reject();
    for (int i = 8; i < 12; ++i)
        if (!isPrintable(h[i])) return reject();
    std::string ext = "mp4";
    if (same(h + 8, "qt  ")) {
        ext = "mov";
    } else if (same(h + 8, "M4A ") || same(h + 8, "M4B ")) {
        ext = "m4a";
    } else if (same(h + 8, "3gp") || same(h + 8, "3g2")) {
        ext = "3gp";
    } else if (same(h + 8, "heic") || same(h + 8, "mif1") || same(h + 8, "heix")) {
        ext = "heic";
    } else if (same(h + 8, "crx ")) {
        ext = "cr3";
    }
    static const char* const kTop[] = {"ftyp", "moov", "mdat", "free", "skip", "wide", "uuid",
                                       "meta", "pnot", "udta", "moof", "mfra", "sidx", "ssix",
                                       "styp", "pdin", "prft", "emsg", "junk", "PICT"};
    std::uint64_t p = 0;
    bool moov = false, mdat = false;
    for (int boxes = 0; boxes < 1 << 16 && p < w.size(); ++boxes) {
        const std::uint8_t* b = w.at(p, 16);
        if (!b) b = w.at(p, 8);
        if (!b) break;
        bool known = false;
        for (const char* t : kTop) known = known || same(b + 4, t);
        if (!known || (boxes > 0 && same(b + 4, "ftyp"))) break;
        std::uint64_t size = be32(b);
        if (size == 1) {
            if (!w.at(p, 16)) break;
            size = be64(b + 8);
            if (size < 16) break;
        } else if (size == 0) {
            // Runs to the end of the file, which nothing here tells.
            return (moov || same(b + 4, "moov")) ? partial(w.size(), ext) : reject();
        } else if (size < 8) {
            break;
        }
        // Written so that a 64-bit size cannot wrap around.
        if (size > w.size() - p) {
            if (moov || mdat) return partial(p, ext);
            return reject();
        }
        moov = moov || same(b + 4, "moov");
        mdat = mdat || same(b + 4, "mdat");
        p += size;
    }
    if (moov && mdat) return exact(p, ext);
    return (moov || mdat) ? partial(p, ext) : reject();
}

// ---------------------------------------------------------------------------------------------
// gzip: the member header, the deflate stream decoded to its end, the CRC and length trailer.

CarveVerdict checkGzip(const ByteWindow& w) {
    std::uint64_t pos = 0;
    std::uint64_t goodEnd = 0;
    for (int member = 0; member < 1024; ++member) {
        const std::uint8_t* h = w.at(pos, 10);
        if (!h || h[0] != 0x1F || h[1] != 0x8B || h[2] != 8 || (h[3] & 0xE0) ||
            (h[8] != 0 && h[8] != 2 && h[8] != 4) || (h[9] > 13 && h[9] != 255))
            break;
        const std::uint8_t flags = h[3];
        std::uint64_t p = pos + 10;
        if (flags & 4) {
            const std::uint8_t* x = w.at(p, 2);
            if (!x) break;
            p += 2 + le16(x);
        }
        bool headerOk = true;
        for (int field : {8, 16}) {
            if (!(flags & field)) continue;
            int i = 0;
            const std::uint8_t* c;
            while ((c = w.at(p, 1)) && *c != 0 && i++ < 4096) ++p;
            if (!c || *c != 0) headerOk = false;
            ++p;
        }
        if (flags & 2) p += 2;
        if (!headerOk || p > w.size()) break;

        z_stream zs{};
        if (inflateInit2(&zs, -15) != Z_OK) break;
        std::uint8_t out[1 << 15];
        std::uint32_t crc = 0;
        std::uint64_t in = p;
        int rc = Z_OK;
        while (rc == Z_OK) {
            std::span<const std::uint8_t> piece = w.piece(in);
            if (piece.empty()) break;
            const std::size_t feed = std::min<std::size_t>(piece.size(), 1 << 20);
            zs.next_in = const_cast<Bytef*>(piece.data());
            zs.avail_in = static_cast<uInt>(feed);
            while (zs.avail_in > 0 && rc == Z_OK) {
                zs.next_out = out;
                zs.avail_out = sizeof out;
                rc = inflate(&zs, Z_NO_FLUSH);
                crc = crc32Of(out, sizeof out - zs.avail_out, crc);
                if (rc == Z_BUF_ERROR) rc = Z_OK;
            }
            in += feed - zs.avail_in;
        }
        const std::uint64_t produced = zs.total_out;
        inflateEnd(&zs);
        if (rc != Z_STREAM_END) {
            // A stream that decoded for a while and then broke: a damaged or fragmented file.
            if (member > 0) return exact(goodEnd);
            return in - p >= 4096 ? partial(in) : reject();
        }
        const std::uint8_t* t = w.at(in, 8);
        if (!t || le32(t) != crc || le32(t + 4) != static_cast<std::uint32_t>(produced))
            return member > 0 ? exact(goodEnd) : partial(in);
        pos = goodEnd = in + 8;
    }
    return goodEnd ? exact(goodEnd) : reject();
}

// ---------------------------------------------------------------------------------------------
// 7z: the signature header (with its CRC) gives where the archive's header ends.

CarveVerdict checkSevenZip(const ByteWindow& w) {
    static const std::uint8_t sig[6] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
    const std::uint8_t* h = w.at(0, 32);
    if (!h || std::memcmp(h, sig, 6) != 0 || h[6] != 0 || crc32Of(h + 12, 20) != le32(h + 8))
        return reject();
    const std::uint64_t offset = le64(h + 12), size = le64(h + 20);
    if (offset > (1ull << 48) || size > (1ull << 32)) return reject();
    const std::uint64_t total = 32 + offset + size;
    if (total > w.size()) return partial(w.size());
    std::uint32_t crc = 0;
    if (size > 0 && (!crcOfRange(w, 32 + offset, size, crc) || crc != le32(h + 28)))
        return partial(total);
    return exact(total);
}

// ---------------------------------------------------------------------------------------------
// SQLite: page size times page count, from the database header.

CarveVerdict checkSqlite(const ByteWindow& w) {
    const std::uint8_t* h = w.at(0, 64);
    const std::uint8_t* tail = w.at(64, 40);
    if (!h || !tail || std::memcmp(h, "SQLite format 3", 16) != 0) return reject();
    std::uint32_t page = be16(h + 16);
    if (page == 1) page = 65536;
    if (page < 512 || (page & (page - 1)) || h[18] < 1 || h[18] > 2 || h[19] < 1 || h[19] > 2 ||
        h[21] != 64 || h[22] != 32 || h[23] != 32)
        return reject();
    if (tail[100 - 64] != 0x0D && tail[100 - 64] != 0x05) return reject();
    const std::uint32_t pages = be32(h + 28);
    if (pages == 0 || be32(tail + 92 - 64) != be32(h + 24))
        return partial(std::min<std::uint64_t>(page, w.size()));
    const std::uint64_t size = static_cast<std::uint64_t>(pages) * page;
    if (size > w.size()) return partial(w.size());
    return exact(size);
}

CarveVerdict checkFormat(FormatKind kind, const ByteWindow& window) {
    switch (kind) {
        case FormatKind::Jpeg:
            return checkJpeg(window);
        case FormatKind::Png:
            return checkPng(window);
        case FormatKind::Gif:
            return checkGif(window);
        case FormatKind::Bmp:
            return checkBmp(window);
        case FormatKind::Tiff:
            return checkTiff(window);
        case FormatKind::Pdf:
            return checkPdf(window);
        case FormatKind::Zip:
            return checkZip(window);
        case FormatKind::Mp3:
            return checkMp3(window);
        case FormatKind::Riff:
            return checkRiff(window);
        case FormatKind::Mp4:
            return checkMp4(window);
        case FormatKind::Gzip:
            return checkGzip(window);
        case FormatKind::SevenZip:
            return checkSevenZip(window);
        case FormatKind::Sqlite:
            return checkSqlite(window);
        case FormatKind::None:
            break;
    }
    return reject();
}

}  // namespace vel
