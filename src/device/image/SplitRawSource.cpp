#include "device/image/SplitRawSource.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "device/FileReadSeek.h"

namespace vel {

namespace {

// More pieces than any real set has; a folder of odd names cannot make the open run long.
constexpr int kMaxPieces = 100000;

int power10(int width) {
    int p = 1;
    while (width-- > 0) p *= 10;
    return p;
}

}  // namespace

std::optional<SplitName> parseSplitName(const std::string& path) {
    const std::size_t dot = path.rfind('.');
    const std::size_t slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    const std::string suffix = path.substr(dot + 1);
    SplitName n;
    n.stem = path.substr(0, dot);
    if (n.stem.empty() || n.stem.back() == '/') return {};
    n.width = static_cast<int>(suffix.size());
    if (n.width >= 2 && n.width <= 4 &&
        std::all_of(suffix.begin(), suffix.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        n.numeric = true;
        n.index = std::stoi(suffix);
        return n;
    }
    if (n.width == 2 &&
        std::all_of(suffix.begin(), suffix.end(), [](char c) { return c >= 'a' && c <= 'z'; })) {
        n.numeric = false;
        n.index = (suffix[0] - 'a') * 26 + (suffix[1] - 'a');
        return n;
    }
    return {};
}

std::string splitPieceName(const SplitName& set, int index) {
    if (index < 0) return {};
    std::string suffix;
    if (set.numeric) {
        if (index >= power10(set.width)) return {};
        suffix = std::to_string(index);
        suffix.insert(0, static_cast<std::size_t>(set.width) - suffix.size(), '0');
    } else {
        if (index >= 26 * 26) return {};
        suffix = {static_cast<char>('a' + index / 26), static_cast<char>('a' + index % 26)};
    }
    return set.stem + "." + suffix;
}

SplitRawSource::~SplitRawSource() {
    for (const Piece& p : pieces_)
        if (p.fd >= 0) ::close(p.fd);
}

std::shared_ptr<SplitRawSource> SplitRawSource::open(const std::string& path, std::string& error) {
    namespace fs = std::filesystem;
    error.clear();
    const std::optional<SplitName> name = parseSplitName(path);
    if (!name) return nullptr;
    std::error_code ec;
    auto isFile = [&](const std::string& p) { return !p.empty() && fs::is_regular_file(p, ec); };

    // The first piece is number 0 or 1 (both conventions exist), or aa.
    int first = name->numeric ? (isFile(splitPieceName(*name, 0)) ? 0 : 1) : 0;
    if (!isFile(splitPieceName(*name, first))) return nullptr;
    // The set ends at its highest present piece; pieces before it may be missing.
    int last = first;
    const fs::path folder =
        fs::path(path).parent_path().empty() ? fs::path(".") : fs::path(path).parent_path();
    const std::string stemName = fs::path(name->stem).filename().string();
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        const std::string file = entry.path().filename().string();
        if (file.size() != stemName.size() + 1 + static_cast<std::size_t>(name->width) ||
            file.compare(0, stemName.size() + 1, stemName + ".") != 0)
            continue;
        std::optional<SplitName> other = parseSplitName(file);
        if (!other || other->numeric != name->numeric || other->width != name->width) continue;
        if (other->index > last && other->index < first + kMaxPieces && entry.is_regular_file(ec))
            last = other->index;
    }
    if (last == first) return nullptr;  // one piece is a plain raw file

    std::shared_ptr<SplitRawSource> source(new SplitRawSource);
    std::int64_t pieceSize = 0;  // what a missing piece is taken to hold: the size of the others
    for (int i = first; i <= last; ++i) {
        Piece p;
        p.path = splitPieceName(*name, i);
        if (isFile(p.path)) {
            p.fd = ::open(p.path.c_str(), O_RDONLY | O_CLOEXEC);
            if (p.fd < 0) {
                error = p.path + ": " + std::strerror(errno);
                return nullptr;
            }
            p.size = std::max<std::int64_t>(0, deviceByteSize(p.fd));
            if (i < last && pieceSize == 0) pieceSize = p.size;
        }
        source->pieces_.push_back(std::move(p));
    }
    std::int64_t at = 0;
    ImageInfo& info = source->info_;
    for (Piece& p : source->pieces_) {
        p.start = at;
        if (p.fd < 0) {
            p.size = pieceSize;
            info.problems.push_back(damageNote(p.path, "is missing", at, at + p.size));
        } else {
            info.files.push_back(p.path);
        }
        at += p.size;
    }
    source->setByteSize(at);
    source->path_ = path;
    info.format = imageformat::kSplitRaw;
    info.mediaSize = at;
    return source;
}

std::int64_t SplitRawSource::readSome(std::int64_t offset, void* buffer, std::size_t count) const {
    auto it = std::upper_bound(pieces_.begin(), pieces_.end(), offset,
                               [](std::int64_t o, const Piece& p) { return o < p.start; });
    if (it == pieces_.begin()) return -1;
    const Piece& p = *--it;
    const std::int64_t inPiece = offset - p.start;
    if (inPiece >= p.size) return 0;  // past the last piece
    if (p.fd < 0) return -1;
    const std::size_t n = static_cast<std::size_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(count), p.size - inPiece));
    for (;;) {
        ssize_t r = ::pread(p.fd, buffer, n, inPiece);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        // A piece shorter than it was when opened: the rest of it is gone.
        return r == 0 ? -1 : static_cast<std::int64_t>(r);
    }
}

}  // namespace vel
