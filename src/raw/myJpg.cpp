#include "raw/myJpg.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "platform/Text.h"

#if defined(__x86_64__) || defined(__i386__)
#include <tmmintrin.h>
#endif

namespace vel {

namespace {

constexpr std::uint64_t kNone = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint8_t kAnyByte = 0x2A;
// Bytes read past each chunk, so signatures and headers that cross into the next chunk are
// seen whole.
constexpr std::size_t kTail = 4096;

std::uint64_t alignUp(std::uint64_t v) {
    return (v + kRawStep - 1) / kRawStep * kRawStep;
}

void addBad(std::vector<BadRange>& bad, std::uint64_t start, std::uint64_t end) {
    auto it = std::lower_bound(bad.begin(), bad.end(), start,
                               [](const BadRange& r, std::uint64_t v) { return r.end < v; });
    if (it != bad.end() && it->start <= end) {
        it->start = std::min(it->start, start);
        it->end = std::max(it->end, end);
        auto next = it + 1;
        while (next != bad.end() && next->start <= it->end) {
            it->end = std::max(it->end, next->end);
            next = bad.erase(next);
        }
        return;
    }
    bad.insert(it, {start, end});
}

// The bytes after a candidate that the chunk does not hold come from the volume.
class SourceWindow final : public ByteWindow {
  public:
    SourceWindow(std::span<const std::uint8_t> head, std::uint64_t size, myJpg& engine,
                 std::uint64_t start)
        : ByteWindow(head, size), engine_(engine), start_(start) {}

  protected:
    bool fetch(std::uint64_t offset, std::uint8_t* out, std::size_t count) const override {
        engine_.readVolume(start_ + offset, out, count);
        return true;
    }

  private:
    myJpg& engine_;
    std::uint64_t start_;
};

// Where to look for an entry with a byte search: its longest run of literal bytes.
struct Anchor {
    std::uint8_t offset = 0;
    std::uint8_t length = 0;  // 0: every byte is "*"
};

Anchor anchorOf(const PatternEntry& e) {
    Anchor best;
    for (std::uint8_t i = 0; i < e.length;) {
        if (e.bytes[i] == kAnyByte) {
            ++i;
            continue;
        }
        std::uint8_t j = i;
        while (j < e.length && e.bytes[j] != kAnyByte) ++j;
        if (j - i > best.length) best = {i, static_cast<std::uint8_t>(j - i)};
        i = j;
    }
    return best;
}

// A set of byte values tested sixteen at a time by their two nibbles: a byte is in the set when
// lo[low nibble] & hi[high nibble] is not zero. High nibbles share one of 8 buckets, so a set
// with more than 8 distinct high nibbles lets a few other bytes through (the caller checks).
struct NibbleSet {
    alignas(16) std::uint8_t lo[16] = {};
    alignas(16) std::uint8_t hi[16] = {};
    bool has(std::uint8_t b) const { return (lo[b & 15] & hi[b >> 4]) != 0; }
};

NibbleSet makeNibbleSet(const std::vector<std::uint8_t>& bytes) {
    NibbleSet s;
    int buckets = 0;
    int bucketOf[16];
    std::fill(std::begin(bucketOf), std::end(bucketOf), -1);
    for (std::uint8_t b : bytes) {
        int& k = bucketOf[b >> 4];
        if (k < 0) k = buckets++ % 8;
        s.hi[b >> 4] |= static_cast<std::uint8_t>(1u << k);
        s.lo[b & 15] |= static_cast<std::uint8_t>(1u << k);
    }
    return s;
}

// The first place x in [from, stop) where bytes x and x+1 are in the two sets; stop if none.
// Bytes up to length may be read.
std::size_t nextPairScalar(const std::uint8_t* base, std::size_t x, std::size_t stop,
                           const NibbleSet& a, const NibbleSet& b) {
    for (; x < stop; ++x)
        if (a.has(base[x]) && b.has(base[x + 1])) return x;
    return stop;
}

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("ssse3"))) std::size_t nextPairSsse3(const std::uint8_t* base, std::size_t x,
                                                           std::size_t stop, std::size_t length,
                                                           const NibbleSet& a, const NibbleSet& b) {
    const __m128i nibble = _mm_set1_epi8(0x0F);
    const __m128i alo = _mm_load_si128(reinterpret_cast<const __m128i*>(a.lo));
    const __m128i ahi = _mm_load_si128(reinterpret_cast<const __m128i*>(a.hi));
    const __m128i blo = _mm_load_si128(reinterpret_cast<const __m128i*>(b.lo));
    const __m128i bhi = _mm_load_si128(reinterpret_cast<const __m128i*>(b.hi));
    for (; x < stop && x + 17 <= length; x += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + x));
        const __m128i w = _mm_loadu_si128(reinterpret_cast<const __m128i*>(base + x + 1));
        const __m128i inA =
            _mm_and_si128(_mm_shuffle_epi8(alo, _mm_and_si128(v, nibble)),
                          _mm_shuffle_epi8(ahi, _mm_and_si128(_mm_srli_epi16(v, 4), nibble)));
        const __m128i inB =
            _mm_and_si128(_mm_shuffle_epi8(blo, _mm_and_si128(w, nibble)),
                          _mm_shuffle_epi8(bhi, _mm_and_si128(_mm_srli_epi16(w, 4), nibble)));
        // Each set has its own buckets: test each against zero, then combine.
        const __m128i zero = _mm_setzero_si128();
        const unsigned none = static_cast<unsigned>(
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(inA, zero), _mm_cmpeq_epi8(inB, zero))));
        if (none != 0xFFFF)
            return std::min(stop, x + static_cast<std::size_t>(__builtin_ctz(~none)));
    }
    return nextPairScalar(base, x, stop, a, b);
}
#endif

std::size_t nextPairCandidate(const std::uint8_t* base, std::size_t x, std::size_t stop,
                              std::size_t length, const NibbleSet& a, const NibbleSet& b) {
#if defined(__x86_64__) || defined(__i386__)
    static const bool ssse3 = __builtin_cpu_supports("ssse3");
    if (ssse3) return nextPairSsse3(base, x, stop, length, a, b);
#endif
    (void)length;
    return nextPairScalar(base, x, stop, a, b);
}

}  // namespace

const char* foundStatusName(FoundStatus status) {
    switch (status) {
        case FoundStatus::Exact:
            return "exact";
        case FoundStatus::Partial:
            return "partial";
        case FoundStatus::Unverified:
            return "unverified";
    }
    return "";
}

bool myJpg::readVolume(std::uint64_t offset, std::uint8_t* buffer, std::size_t count) {
    ReadDamageScope damage;
    const ReadOutcome r = view_.readAt(static_cast<std::int64_t>(offset), buffer, count);
    // The source numbers what it could not read from its own start.
    for (const auto& [first, last] : damage.ranges()) {
        const std::int64_t from = std::max<std::int64_t>(first - volumeStart_, 0);
        const std::int64_t to = std::max<std::int64_t>(last - volumeStart_, from);
        addBad(bad_, static_cast<std::uint64_t>(from), static_cast<std::uint64_t>(to));
    }
    return r.unreadableBytes == 0;
}

bool myJpg::writeFound(const FoundFile& file, EntryWriter& out) const {
    if (!source_) return false;
    std::vector<std::uint8_t> buffer(
        static_cast<std::size_t>(std::min<std::uint64_t>(file.size, kRawChunk)));
    for (std::uint64_t done = 0; done < file.size;) {
        const auto n =
            static_cast<std::size_t>(std::min<std::uint64_t>(kRawChunk, file.size - done));
        view_.readAt(static_cast<std::int64_t>(file.start + done), buffer.data(), n);
        if (!out.write(buffer.data(), n)) return false;
        done += n;
    }
    return true;
}

std::vector<PatternEntry> buildPatternTable(const std::vector<SignatureDefinition>& definitions) {
    const std::size_t n = definitions.size();
    std::vector<PatternEntry> table(2 * n);
    for (std::size_t i = 0; i < n; ++i) {
        const SignatureDefinition& d = definitions[i];
        table[i].length = d.startLength;
        table[i].id = static_cast<std::uint8_t>(i);
        table[i].bytes = d.start;
        table[n + i].length = d.endLength;
        table[n + i].id = static_cast<std::uint8_t>(i);
        table[n + i].bytes = d.end;
    }
    return table;
}

bool entryMatches(const PatternEntry& entry, std::span<const std::uint8_t> data) {
    if (entry.length < 2 || entry.length > kMaxSignatureBytes || entry.length > data.size())
        return false;
    for (std::size_t i = 0; i < entry.length; ++i)
        if (entry.bytes[i] != kAnyByte && entry.bytes[i] != data[i]) return false;
    return true;
}

PatternHit matchAt(std::span<const PatternEntry> table, std::span<const std::uint8_t> data) {
    const std::size_t n = table.size() / 2;
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (entryMatches(table[i], data)) return {true, i < n, table[i].id, i};
    }
    return {};
}

// ---------------------------------------------------------------------------------------------

void myJpg::addDefinition(const SignatureDefinition& definition) {
    if (definitions_.size() < kMaxDefinitions) definitions_.push_back(definition);
}

LoadResult myJpg::loadDefinitions(const std::string& path, bool isDefaultFile) {
    std::vector<SignatureDefinition> loaded = definitions_;
    LoadResult r = loadSignatureFile(path, isDefaultFile, loaded);
    if (r.ok) definitions_ = std::move(loaded);
    return r;
}

void myJpg::attach(const readWriteInterface* source, ResultsTree* tree, ScanSink* sink) {
    source_ = source;
    view_ = VolumeView(source, volumeStart_, static_cast<std::int64_t>(volumeSize_));
    tree_ = tree;
    sink_ = sink;
}

const FoundFile* myJpg::foundFile(ItemData data) const {
    if (data < 0 || static_cast<std::uint64_t>(data) >= found_.size()) return nullptr;
    return &found_[static_cast<std::size_t>(data)];
}

std::string myJpg::categoryOf(const FoundFile& file) const {
    if (file.definition >= definitions_.size()) return {};
    return utf16ToUtf8(definitions_[file.definition].category);
}

std::string myJpg::nodeName(const FoundFile& file) {
    return std::to_string(file.start) + " ." + file.extension;
}

std::uint64_t myJpg::unreadableSectors() const {
    std::uint64_t bytes = 0;
    for (const BadRange& r : bad_) bytes += r.end - r.start;
    return (bytes + kRawStep - 1) / kRawStep;
}

bool myJpg::overlapsBad(std::uint64_t start, std::uint64_t size) const {
    auto it = std::lower_bound(bad_.begin(), bad_.end(), start,
                               [](const BadRange& r, std::uint64_t v) { return r.end <= v; });
    return it != bad_.end() && it->start < start + size;
}

void myJpg::prepareTree() {
    top_ = tree_->insertItem(kRawTopCaption, IconKind::Folder, kNoItem);
    categoryNodes_.assign(definitions_.size(), kNoItem);
    counts_.clear();
    categoryItems_.clear();
    for (std::size_t i = 0; i < definitions_.size(); ++i) {
        const std::u16string& category = definitions_[i].category;
        counts_.emplace(category, 0);
        auto it = categoryItems_.find(category);
        if (it == categoryItems_.end())
            it = categoryItems_
                     .emplace(category,
                              tree_->insertItem(utf16ToUtf8(category), IconKind::Folder, top_))
                     .first;
        categoryNodes_[i] = it->second;
    }
    tree_->expand(top_);
}

void myJpg::makeFound(std::uint64_t start, std::uint64_t size, std::uint8_t id, FoundStatus status,
                      const std::string& extension) {
    if (start >= volumeSize_) return;
    size = std::min(size, volumeSize_ - start);
    if (size == 0) return;
    FoundFile f{start, size, id, status, overlapsBad(start, size), extension};
    found_.push_back(f);
    const SignatureDefinition& d = definitions_[id];
    const std::int64_t count = ++counts_[d.category];
    const TreeItem node = categoryNodes_[id];
    std::string text = utf16ToUtf8(d.category) + " (" + std::to_string(count) + ")";
    // Renaming is the tree's insert-and-move-children; a category node is renamed by text.
    tree_->setItemText(node, text);
    tree_->insertEntry(nodeName(f), IconKind::File, node, static_cast<ItemData>(found_.size() - 1),
                       false);
}

// ---------------------------------------------------------------------------------------------
// The scan over the volume, chunk by chunk, with one cursor for the whole volume: a skip or a
// size-field jump that passes a chunk's end carries into the chunks after it.

class myJpg::Scan {
  public:
    Scan(myJpg& engine, std::vector<PatternEntry> table)
        : e_(engine), table_(std::move(table)), n_(table_.size() / 2) {
        pending_.resize(std::min(n_, kMaxDefinitions));
        std::vector<std::uint8_t> firstBytes, secondBytes;
        for (std::size_t i = 0; i < n_; ++i) {
            const PatternEntry& s = table_[i];
            if (s.length < 2) continue;
            if (s.bytes[0] == kAnyByte) {
                anyFirst_.push_back(static_cast<std::uint16_t>(i));
            } else {
                byFirst_[s.bytes[0]].push_back(static_cast<std::uint16_t>(i));
            }
            const SignatureDefinition& d = e_.definitions_[i];
            if (d.format == FormatKind::None) continue;
            // Unaligned search: a pair of literal bytes at a fixed place in the signature.
            Anchor a = anchorOf(s);
            if (a.length < 2) continue;
            std::size_t slot = 0;
            while (slot < pairOffsets_.size() && pairOffsets_[slot] != a.offset) ++slot;
            if (slot == pairOffsets_.size()) {
                if (slot == 8) continue;  // a mask byte has room for 8 places
                pairOffsets_.push_back(a.offset);
            }
            const unsigned pair = s.bytes[a.offset] | s.bytes[a.offset + 1] << 8;
            pairMask_[pair] |= static_cast<std::uint8_t>(1u << slot);
            firstBytes.push_back(s.bytes[a.offset]);
            secondBytes.push_back(s.bytes[a.offset + 1]);
            unalignedEntries_.push_back(static_cast<std::uint16_t>(i));
        }
        firstSet_ = makeNibbleSet(firstBytes);
        secondSet_ = makeNibbleSet(secondBytes);
        for (std::size_t i = 0; i < n_ && i < pending_.size(); ++i)
            endAnchors_.push_back(anchorOf(table_[n_ + i]));
        // A quick test for sector starts: the first byte, or the anchor of a "*"-first entry.
        for (std::size_t b = 0; b < 256; ++b) firstMask_[b] = !byFirst_[b].empty();
        for (std::uint16_t i : anyFirst_) {
            Anchor a = anchorOf(table_[i]);
            if (a.length == 0) {
                everyPosition_ = true;
            } else {
                anyAnchors_.push_back({a.offset, table_[i].bytes[a.offset]});
            }
        }
    }

    void run() {
        ScanSink& sink = *e_.sink_;
        const std::uint64_t size = e_.volumeSize_;
        const std::uint64_t chunks = (size + kRawChunk - 1) / kRawChunk;
        sink.setProgressRange(1000);
        sink.setProgressRange(static_cast<std::int64_t>(chunks));
        buffer_.resize(kRawChunk + kTail);
        for (std::uint64_t k = 0; k < chunks; ++k) {
            sink.setProgressPosition(static_cast<std::int64_t>(k));
            if (e_.stopRequested.requested()) return;
            chunkStart_ = k * kRawChunk;
            chunkEnd_ = std::min(chunkStart_ + kRawChunk, size);
            if (pos_ >= chunkEnd_) continue;
            bufferLength_ = static_cast<std::size_t>(
                std::min<std::uint64_t>(kRawChunk + kTail, size - chunkStart_));
            e_.readVolume(chunkStart_, buffer_.data(), bufferLength_);
            if (!walkChunk()) return;
        }
        sink.setProgressPosition(static_cast<std::int64_t>(chunks));
    }

    // Step 5: starts whose end never came.
    void leftOvers() {
        for (std::size_t id = 0; id < pending_.size(); ++id) {
            std::vector<std::uint64_t>& starts = pending_[id].starts;
            const SignatureDefinition& d = e_.definitions_[id];
            const std::uint64_t approx =
                d.approximateSize > 0 ? static_cast<std::uint64_t>(d.approximateSize) : 0;
            const std::vector<std::uint64_t>& seen = pending_[id].seen;
            while (!starts.empty()) {
                const std::uint64_t s = starts.back();
                starts.pop_back();
                // A file without its end reaches at most to the next start of its kind.
                auto next = std::upper_bound(seen.begin(), seen.end(), s);
                const std::uint64_t size =
                    next == seen.end() ? approx : std::min(*next - s, approx);
                if (size > 0)
                    e_.makeFound(s, size, static_cast<std::uint8_t>(id), FoundStatus::Unverified,
                                 utf16ToUtf8(d.extension));
            }
        }
    }

  private:
    const std::uint8_t* at(std::uint64_t absolute) const {
        return buffer_.data() + (absolute - chunkStart_);
    }
    std::size_t availableAt(std::uint64_t absolute) const {
        return bufferLength_ - static_cast<std::size_t>(absolute - chunkStart_);
    }
    std::span<const std::uint8_t> bytesAt(std::uint64_t absolute, std::size_t most) const {
        return {at(absolute), std::min(most, availableAt(absolute))};
    }

    // One chunk: aligned starts, end signatures at every byte and (unaligned) default-type
    // headers at every byte, taken in order of position. False when stopped.
    bool walkChunk() {
        for (unsigned events = 0;; ++events) {
            if (events % 256 == 0 && e_.stopRequested.requested()) return false;
            if (pendingStarts_ == 0 && !e_.unaligned) skipQuiet();
            const std::uint64_t a = alignUp(pos_);
            const std::uint64_t end = nextEnd();
            const std::uint64_t u = e_.unaligned ? nextUnaligned() : kNone;
            const std::uint64_t x = std::min({a, end, u});
            if (x >= chunkEnd_) {
                pos_ = std::max(pos_, chunkEnd_);
                return true;
            }
            if (x == a) {
                if (alignedStart(a)) continue;
                if (end == a) {
                    endHit(a);
                    continue;
                }
                pos_ = a + 1;
            } else if (x == end) {
                endHit(end);
            } else {
                unalignedStart(u);
            }
        }
    }

    // Moves the cursor to the next sector start where some start entry could match.
    void skipQuiet() {
        if (everyPosition_) return;
        std::uint64_t a = alignUp(pos_);
        for (; a < chunkEnd_; a += kRawStep) {
            const std::uint8_t* d = at(a);
            if (firstMask_[d[0]]) break;
            bool hit = false;
            for (const auto& [offset, byte] : anyAnchors_)
                hit = hit || (offset < availableAt(a) && d[offset] == byte);
            if (hit) break;
        }
        pos_ = std::max(pos_, std::min(a, chunkEnd_));
    }

    // The first start entry that matches at a and acts there. Default types act only when
    // their structure holds; a user signature's first match always acts.
    bool alignedStart(std::uint64_t a) {
        std::span<const std::uint8_t> data = bytesAt(a, kMaxSignatureBytes);
        const auto& listA = byFirst_[data[0]];
        std::size_t i = 0, j = 0;
        while (i < listA.size() || j < anyFirst_.size()) {
            std::uint16_t entry;
            if (j >= anyFirst_.size() || (i < listA.size() && listA[i] < anyFirst_[j])) {
                entry = listA[i++];
            } else {
                entry = anyFirst_[j++];
            }
            if (!entryMatches(table_[entry], data)) continue;
            const SignatureDefinition& d = e_.definitions_[entry];
            if (d.format != FormatKind::None) {
                if (carveByFormat(a, static_cast<std::uint8_t>(entry))) return true;
                continue;
            }
            userStart(a, static_cast<std::uint8_t>(entry));
            return true;
        }
        return false;
    }

    void userStart(std::uint64_t a, std::uint8_t id) {
        const SignatureDefinition& d = e_.definitions_[id];
        const std::string ext = utf16ToUtf8(d.extension);
        if (d.endLength > 0) {
            if (id < pending_.size()) {
                pending_[id].starts.push_back(a);
                pending_[id].seen.push_back(a);
                ++pendingStarts_;
            }
            pos_ = a + 1;
            return;
        }
        if (d.sizeBytes == 0) {
            e_.makeFound(a,
                         static_cast<std::uint64_t>(std::max<std::int64_t>(d.approximateSize, 0)),
                         id, FoundStatus::Unverified, ext);
            skip(a, d);
            return;
        }
        // A size field inside the first sector (the loader refuses any other).
        std::uint8_t sector[kRawStep];
        std::span<const std::uint8_t> head = bytesAt(a, kRawStep);
        if (head.size() < kRawStep) {
            std::memset(sector, 0, sizeof sector);
            e_.readVolume(
                a, sector,
                static_cast<std::size_t>(std::min<std::uint64_t>(kRawStep, e_.volumeSize_ - a)));
            head = sector;
        }
        const std::int64_t at = d.offsetToSize;
        if (d.sizeBytes != 4 || at < 0 || at + 4 > kRawStep) {
            pos_ = a + 1;
            return;
        }
        const std::uint8_t* f = head.data() + at;
        const std::uint64_t value =
            f[0] | f[1] << 8 | f[2] << 16 | static_cast<std::uint64_t>(f[3]) << 24;
        if (value == 0 || static_cast<std::int64_t>(value) > d.approximateSize) {
            pos_ = a + 1;
            return;
        }
        const std::uint64_t size = value + (d.sizeIncludesHeader ? 0 : d.headerSize);
        e_.makeFound(a, size, id, FoundStatus::Unverified, ext);
        pos_ = a + (value / kRawStep + 1) * kRawStep;
    }

    void skip(std::uint64_t at, const SignatureDefinition& d) {
        pos_ = d.skipSize <= kRawStep
                   ? at + kRawStep
                   : at + static_cast<std::uint64_t>(d.skipSize / kRawStep) * kRawStep;
    }

    bool carveByFormat(std::uint64_t at, std::uint8_t id) {
        const SignatureDefinition& d = e_.definitions_[id];
        std::uint64_t limit = e_.volumeSize_ - at;
        if (d.approximateSize > 0) limit = std::min<std::uint64_t>(limit, d.approximateSize);
        SourceWindow window(bytesAt(at, availableAt(at)), limit, e_, at);
        CarveVerdict v = checkFormat(d.format, window);
        if (v.status == CarveStatus::Reject || v.size == 0) return false;
        const std::string ext = v.extension.empty() ? utf16ToUtf8(d.extension) : v.extension;
        if (v.status == CarveStatus::Exact) {
            e_.makeFound(at, v.size, id, FoundStatus::Exact, ext);
            pos_ = std::max(pos_, at + v.size);
        } else {
            // The rest of a broken file may hold other files' headers: look on inside it.
            e_.makeFound(at, v.size, id, FoundStatus::Partial, ext);
            pos_ = std::max(pos_, at + 1);
        }
        return true;
    }

    // --- end signatures ----------------------------------------------------------------------

    std::uint64_t nextEnd() {
        std::uint64_t best = kNone;
        for (std::size_t id = 0; id < pending_.size(); ++id) {
            Pending& p = pending_[id];
            if (p.starts.empty()) continue;
            const std::uint64_t from = std::max(pos_, p.starts.back() + 1);
            if (!(p.endKnown && p.endAt >= from)) {
                p.endKnown = false;
                std::uint64_t s = from;
                if (p.searchedTo > s && p.searchFrom <= s) s = p.searchedTo;
                const std::uint64_t hit = findEnd(id, s);
                if (hit == kNone) {
                    p.searchFrom = from;
                    p.searchedTo = std::max(s, chunkEnd_);
                    continue;
                }
                p.endKnown = true;
                p.endAt = hit;
            }
            if (p.endAt < best) best = p.endAt;
        }
        return best;
    }

    // First position in [from, chunk end) where the end entry of id matches.
    std::uint64_t findEnd(std::size_t id, std::uint64_t from) const {
        const PatternEntry& entry = table_[n_ + id];
        if (entry.length < 2 || from >= chunkEnd_) return kNone;
        if (from < chunkStart_) from = chunkStart_;
        const Anchor anchor = endAnchors_[id];
        if (anchor.length == 0) return from;  // all "*": matches at once
        std::uint64_t s = from;
        while (s < chunkEnd_) {
            const std::uint64_t searchAt = s + anchor.offset;
            if (searchAt >= chunkStart_ + bufferLength_) return kNone;
            const std::uint8_t* hay = at(searchAt);
            const std::size_t hayLength = availableAt(searchAt);
            const void* hit =
                ::memmem(hay, hayLength, entry.bytes.data() + anchor.offset, anchor.length);
            if (!hit) return kNone;
            const std::uint64_t candidate =
                searchAt + static_cast<std::uint64_t>(static_cast<const std::uint8_t*>(hit) - hay) -
                anchor.offset;
            if (candidate >= chunkEnd_) return kNone;
            if (entryMatches(entry, bytesAt(candidate, kMaxSignatureBytes))) return candidate;
            s = candidate + 1;
        }
        return kNone;
    }

    void endHit(std::uint64_t at) {
        // Ends at the same place: the earlier definition's entry comes first in the table.
        for (std::size_t id = 0; id < pending_.size(); ++id) {
            Pending& p = pending_[id];
            if (p.starts.empty() || !p.endKnown || p.endAt != at) continue;
            const SignatureDefinition& d = e_.definitions_[id];
            const std::uint64_t s = p.starts.back();
            p.starts.pop_back();
            --pendingStarts_;
            p.endKnown = false;
            std::uint64_t size = at + d.endLength - s;
            if (d.approximateSize > 0 && size > static_cast<std::uint64_t>(d.approximateSize))
                size = static_cast<std::uint64_t>(d.approximateSize);
            e_.makeFound(s, size, static_cast<std::uint8_t>(id), FoundStatus::Unverified,
                         utf16ToUtf8(d.extension));
            // Go on right after the end signature: the next file may start in the next sector.
            pos_ = at + d.endLength;
            if (d.skipSize > kRawStep)
                pos_ = std::max(pos_,
                                at + static_cast<std::uint64_t>(d.skipSize / kRawStep) * kRawStep);
            return;
        }
        pos_ = at + 1;
    }

    // --- unaligned default-type headers ------------------------------------------------------

    std::uint64_t nextUnaligned() {
        if (unalignedEntries_.empty()) return kNone;
        const std::uint64_t from = std::max({pos_, unalignedFrom_, chunkStart_});
        if (uKnown_ && uAt_ >= from) return uAt_;
        uKnown_ = false;
        const std::uint8_t* base = buffer_.data();
        const std::size_t fromRel = static_cast<std::size_t>(from - chunkStart_);
        const std::size_t endRel = static_cast<std::size_t>(chunkEnd_ - chunkStart_);
        std::size_t maxOffset = 0;
        for (std::uint8_t o : pairOffsets_) maxOffset = std::max<std::size_t>(maxOffset, o);
        const std::size_t stop = std::min(bufferLength_ - 1, endRel + maxOffset);
        std::size_t best = SIZE_MAX;
        auto consider = [&](std::size_t x) {
            const unsigned mask = pairMask_[base[x] | base[x + 1] << 8];
            for (std::size_t k = 0; mask != 0 && k < pairOffsets_.size(); ++k) {
                if (!(mask >> k & 1) || x < pairOffsets_[k]) continue;
                const std::size_t c = x - pairOffsets_[k];
                if (c < fromRel || c >= endRel || c >= best || (chunkStart_ + c) % kRawStep == 0)
                    continue;
                std::span<const std::uint8_t> data = bytesAt(chunkStart_ + c, kMaxSignatureBytes);
                for (std::uint16_t entry : unalignedEntries_)
                    if (entryMatches(table_[entry], data)) {
                        best = c;
                        break;
                    }
            }
        };
        // Candidates can come out of order by the anchors' distance: look that far on.
        for (std::size_t x = fromRel; x < stop; ++x) {
            x = nextPairCandidate(base, x, stop, bufferLength_, firstSet_, secondSet_);
            if (x >= stop || (best != SIZE_MAX && x >= best + maxOffset)) break;
            consider(x);
        }
        if (best == SIZE_MAX) {
            unalignedFrom_ = std::max(unalignedFrom_, chunkEnd_);
            return kNone;
        }
        uKnown_ = true;
        uAt_ = chunkStart_ + best;
        return uAt_;
    }

    void unalignedStart(std::uint64_t at) {
        uKnown_ = false;
        unalignedFrom_ = at + 1;
        std::span<const std::uint8_t> data = bytesAt(at, kMaxSignatureBytes);
        for (std::uint16_t entry : unalignedEntries_) {
            if (entryMatches(table_[entry], data) &&
                carveByFormat(at, static_cast<std::uint8_t>(entry)))
                return;
        }
    }

    struct Pending {
        std::vector<std::uint64_t> starts;
        std::vector<std::uint64_t> seen;  // every start, closed or not, in order
        std::uint64_t endAt = 0;
        std::uint64_t searchFrom = 0, searchedTo = 0;  // no end hit at [searchFrom, searchedTo)
        bool endKnown = false;
    };

    myJpg& e_;
    std::vector<PatternEntry> table_;
    std::size_t n_;
    std::vector<std::uint16_t> byFirst_[256];
    std::vector<std::uint16_t> anyFirst_;
    std::vector<Anchor> endAnchors_;
    std::vector<std::uint8_t> pairOffsets_;
    std::uint8_t pairMask_[65536] = {};  // per byte pair: the anchor places it stands for
    bool firstMask_[256] = {};
    NibbleSet firstSet_, secondSet_;  // the anchors' first and second bytes
    std::vector<std::pair<std::uint8_t, std::uint8_t>> anyAnchors_;
    bool everyPosition_ = false;
    std::uint64_t pendingStarts_ = 0;
    std::vector<std::uint16_t> unalignedEntries_;
    std::vector<Pending> pending_;
    std::vector<std::uint8_t> buffer_;
    std::size_t bufferLength_ = 0;
    std::uint64_t chunkStart_ = 0, chunkEnd_ = 0;
    std::uint64_t pos_ = 0;
    std::uint64_t unalignedFrom_ = 0, uAt_ = 0;
    bool uKnown_ = false;
};

bool myJpg::runScan(const std::string&) {
    message_.clear();
    if (!source_ || !tree_ || !sink_) {
        message_ = kRawInitFailedText;
        return false;
    }
    std::vector<PatternEntry> table;
    try {
        table = buildPatternTable(definitions_);
    } catch (const std::bad_alloc&) {
        message_ = kRawInitFailedText;
        return false;
    }
    found_.clear();
    bad_.clear();
    prepareTree();
    auto scan = std::make_unique<Scan>(*this, std::move(table));
    scan->run();
    scan->leftOvers();
    // Reads made after a file was listed may have found bad sectors inside it.
    for (FoundFile& f : found_) f.damaged = f.damaged || overlapsBad(f.start, f.size);
    message_ = kRawDoneText;
    return true;
}

}  // namespace vel
