#include "FuzzSupport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

#include "scan/MemoryTree.h"
#include "scan/ResultsWalk.h"

namespace vel::fuzz {

namespace {

// Takes the start of each file: enough to run every read path, cheap enough to run often.
class BoundedSink final : public EntryWriter {
  public:
    bool write(const void*, std::size_t size) override { return take(size); }
    bool writeZeros(std::uint64_t size) override { return take(size); }

  private:
    bool take(std::uint64_t size) {
        written_ += size;
        return written_ <= kLimit;
    }
    static constexpr std::uint64_t kLimit = 256u << 10;
    std::uint64_t written_ = 0;
};

}  // namespace

bool unpackEarly(std::initializer_list<const char*> names) {
    for (const char* name : names) fixture(name);
    return true;
}

const std::vector<std::uint8_t>& fixture(const std::string& name) {
    static std::map<std::string, std::vector<std::uint8_t>> cache;
    auto& bytes = cache[name];
    if (!bytes.empty()) return bytes;
    std::string command = std::string("xz -dc '") + VELLORINE_SOURCE_DIR +
                          "/tests/fixtures/images/" + name + ".img.xz'";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) std::abort();
    char chunk[1 << 16];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
        bytes.insert(bytes.end(), chunk, chunk + n);
    if (::pclose(pipe) != 0 || bytes.empty()) {
        std::fprintf(stderr, "cannot unpack fixture %s\n", name.c_str());
        std::abort();
    }
    return bytes;
}

OverlaySource::OverlaySource(const std::vector<std::uint8_t>& base, std::vector<Region> regions,
                             const std::uint8_t* input, std::size_t size)
    : base_(base) {
    std::size_t used = 0;
    for (const Region& r : regions) {
        if (used >= size) break;
        const std::size_t n = std::min(r.length, size - used);
        patches_.push_back({r.offset, input + used, n});
        used += n;
    }
}

ReadOutcome OverlaySource::readAt(std::int64_t offset, void* buffer, std::size_t count) const {
    ReadOutcome r;
    r.requested = count;
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::memset(out, 0, count);
    const auto size = static_cast<std::int64_t>(base_.size());
    if (offset < 0 || offset >= size) return r;
    const std::size_t n = static_cast<std::size_t>(
        std::min<std::int64_t>(static_cast<std::int64_t>(count), size - offset));
    std::memcpy(out, base_.data() + offset, n);
    for (const Patch& p : patches_) {
        const std::int64_t from = std::max(offset, p.offset);
        const std::int64_t to = std::min(offset + static_cast<std::int64_t>(n),
                                         p.offset + static_cast<std::int64_t>(p.length));
        if (from < to)
            std::memcpy(out + (from - offset), p.bytes + (from - p.offset),
                        static_cast<std::size_t>(to - from));
    }
    r.inSource = n;
    return r;
}

std::size_t scanListAndRead(VolumeParser& parser, const readWriteInterface& source, int mode) {
    MemoryTree tree;
    NullSink sink;
    parser.attach(&source, &tree, &sink);
    parser.runWorker(mode);
    std::size_t seen = 0;
    const TreeItem top = tree.firstChild(kNoItem);
    if (top == kNoItem) return 0;
    walkResults(parser, tree, top, [&](const WalkedItem& w) {
        ++seen;
        if (!parser.isEntry(w.data)) return true;
        // What the list would show, then the data a save would write.
        parser.entryColumns(w.data);
        parser.entrySizeText(w.data);
        if (!w.folder) {
            BoundedSink out;
            parser.writeEntry(w.data, out);
        }
        return seen < 200000;
    });
    parser.attach(nullptr, nullptr, nullptr);
    return seen;
}

}  // namespace vel::fuzz
