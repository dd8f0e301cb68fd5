#include "fs/hfsplus/HFSP.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "platform/Text.h"
#include "scan/Formats.h"

namespace vel {

using namespace hfs;

namespace {
constexpr std::size_t kTreeReadBytes = 1u << 20;
constexpr std::size_t kCopyBytes = 1u << 20;
// The deep search reads this much (plus one node) at a time: few reads, and a buffer small
// enough to stay in the processor's cache (a 50 MiB one ran at a third of the speed).
constexpr std::size_t kSearchChunk = 4u << 20;
constexpr std::uint64_t kFoundOrderBase = std::uint64_t{1} << 62;
// Catalog node sizes tried when the catalog's header node cannot tell.
constexpr std::uint32_t kCatalogNodeSizes[] = {4096, 8192, 16384, 32768};
constexpr std::uint32_t kNoPosition = UINT32_MAX;
// Status lines are sent every this many items (each is a round trip to the screen).
constexpr std::size_t kStatusEvery = 256;

HostTime hostTime(std::uint32_t hfsSeconds) {
    return {hfsToUnix(hfsSeconds), 0};
}

std::string formatCount(const char* pattern, long long a, long long b = 0) {
    char text[128];
    std::snprintf(text, sizeof text, pattern, a, b);
    return text;
}

// Which bits of the allocation file say a block is in use; read a window at a time.
class AllocationBitmap {
  public:
    AllocationBitmap(const HfsForkReader& fork, std::uint64_t volumeBlocks)
        : fork_(fork), volumeBlocks_(volumeBlocks) {}

    // True when every block of the extent lies in the volume and is marked free. A bitmap that
    // cannot be read vouches for nothing.
    bool allFree(std::uint64_t start, std::uint64_t count) {
        if (start == 0 || start >= volumeBlocks_ || count > volumeBlocks_ - start) return false;
        for (std::uint64_t b = start; b < start + count; ++b) {
            std::uint64_t byte = b >> 3;
            if (byte < windowStart_ || byte >= windowStart_ + window_.size()) {
                windowStart_ = byte & ~std::uint64_t{kWindow - 1};
                if (windowStart_ >= fork_.length()) return false;  // past the bitmap
                window_.assign(static_cast<std::size_t>(
                                   std::min<std::uint64_t>(kWindow, fork_.length() - windowStart_)),
                               0);
                windowGood_ = fork_.read(windowStart_, window_.data(), window_.size());
                if (byte >= windowStart_ + window_.size()) return false;
            }
            if (!windowGood_ || blockInUse(window_.data(), b - windowStart_ * 8)) return false;
        }
        return true;
    }

  private:
    static constexpr std::size_t kWindow = 65536;
    const HfsForkReader& fork_;
    std::uint64_t volumeBlocks_;
    std::vector<std::uint8_t> window_;
    std::uint64_t windowStart_ = 0;
    bool windowGood_ = false;
};
}  // namespace

HFSP::HFSP(VolumeDescriptor descriptor, ParserOptions options)
    : VolumeParser(std::move(descriptor), std::move(options)) {}

WorkerResult HFSP::runWorker(int scanMode) {
    WorkerResult result;
    result.shortEnd = true;
    deepMode_ = scanMode != 1;
    openVolume();
    bool ok = readVolumeHeader();
    if (ok) {
        // The catalog file's own extents may be in the overflow tree: read it first. The deep
        // search does not depend on it.
        bool extents = readExtentsOverflow();
        ok = deepMode_ ? scanForCatalogNodes() : extents && collectCatalogNodes();
    }
    if (!ok) {
        report().setStatusText("Work Aborted....");
        result.failureBox = "Work Aborted....";
        return result;
    }
    readCatalogRecords();
    linkChildren();
    fillRootNodes();
    addPlaceholders();
    report().setStatusText("Work Done.");
    return result;
}

bool HFSP::openVolume() {
    if (!reader) return false;
    insertVolumeRootItem();
    if (resultsTree && volumeRootItem != kNoItem) resultsTree->expand(volumeRootItem);
    return true;
}

bool HFSP::readVolumeHeader() {
    header_.reset();
    if (!reader) return false;
    std::uint8_t bytes[kVolumeHeaderSize] = {};
    if (reader->readAt(kVolumeHeaderOffset, bytes, sizeof bytes))
        header_ = parseVolumeHeader({bytes, sizeof bytes});
    // A damaged header has its copy near the volume's end.
    std::int64_t size = sizeTextMiB(volume.sizeText) * 1048576;
    if (!header_ && size > 2 * kAlternateHeaderFromEnd) {
        std::memset(bytes, 0, sizeof bytes);
        if (reader->readAt(size - kAlternateHeaderFromEnd, bytes, sizeof bytes))
            header_ = parseVolumeHeader({bytes, sizeof bytes});
    }
    return header_.has_value();
}

std::uint64_t HFSP::volumeBlocks() const {
    return header_ ? header_->totalBlocks : 0;
}

std::uint64_t HFSP::volumeBytes() const {
    return header_ ? header_->volumeBytes() : 0;
}

HfsForkReader HFSP::forkReader(const ForkData& fork, std::uint32_t fileId) const {
    HfsForkExtents ex = mapFork(fork.extents, fork.totalBlocks, fileId, kDataFork, overflow_);
    return HfsForkReader(reader, header_ ? header_->blockSize : 0, volumeBlocks(),
                         std::move(ex.extents));
}

std::optional<HeaderRecord> HFSP::walkTree(
    const HfsForkReader& fork, std::vector<HfsNodeInfo>& nodes,
    const std::function<void(ByteView, const HfsNodeInfo&)>& leaf, TreeWalk* walk, bool& whole) {
    nodes.clear();
    whole = false;
    std::vector<std::uint8_t> first(kMinNodeSize);
    fork.read(0, first.data(), first.size());
    auto hdr = parseHeaderNode({first.data(), first.size()});
    if (!hdr) return std::nullopt;
    const std::size_t nodeSize = hdr->nodeSize;
    // Nodes past the fork's extents inside the volume cannot be read, whatever the header claims,
    // and no tree is larger than its volume.
    std::uint64_t total = std::min<std::uint64_t>(
        {hdr->totalNodes, fork.readableLength() / nodeSize, volumeBytes() / nodeSize});
    whole = total == hdr->totalNodes;
    if (total == 0) return hdr;

    // The node map: the header node's map record, then map nodes along its forward link.
    std::vector<std::uint8_t> node(nodeSize);
    fork.read(0, node.data(), nodeSize);
    struct MapPart {
        std::uint64_t first;
        std::vector<std::uint8_t> bits;
    };
    std::vector<MapPart> map;
    ByteView headerNode(node.data(), nodeSize);
    NodeDescriptor d = parseNodeDescriptor(headerNode);
    ByteView bits = recordBytes(headerNode, d.recordCount, kHeaderMapRecord);
    std::uint64_t covered = 0;
    map.push_back({0, {bits.data(), bits.data() + bits.size()}});
    covered += bits.size() * 8;
    std::unordered_set<std::uint32_t> seen{0};
    for (std::uint32_t link = d.forwardLink;
         link != 0 && link < total && seen.insert(link).second;) {
        fork.read(std::uint64_t{link} * nodeSize, node.data(), nodeSize);
        ByteView mapNode(node.data(), nodeSize);
        NodeDescriptor md = parseNodeDescriptor(mapNode);
        if (md.kind != kMapNode) break;
        ByteView more = recordBytes(mapNode, md.recordCount, 0);
        map.push_back({covered, {more.data(), more.data() + more.size()}});
        covered += more.size() * 8;
        link = md.forwardLink;
    }
    auto inUse = [&](std::uint64_t n) {
        for (const MapPart& p : map)
            if (auto used = mapBit({p.bits.data(), p.bits.size()}, p.first, n)) return *used;
        return true;  // beyond the map: nothing says the node is free
    };

    // Every node in node order, read a megabyte at a time.
    std::size_t batch = std::max<std::size_t>(1, kTreeReadBytes / nodeSize);
    std::vector<std::uint8_t> buffer(batch * nodeSize);
    report().setProgressRange(static_cast<std::int64_t>(total));
    for (std::uint64_t j = 0; j < total; j += batch) {
        if (stopRequested.requested()) break;
        report().setProgressPosition(static_cast<std::int64_t>(j));
        std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(batch, total - j));
        // Unreadable sectors read as zeros: the nodes around them still count.
        if (!fork.read(j * nodeSize, buffer.data(), n * nodeSize)) whole = false;
        for (std::size_t k = 0; k < n; ++k) {
            ByteView view(buffer.data() + k * nodeSize, nodeSize);
            NodeDescriptor nd = parseNodeDescriptor(view);
            if (!nd.knownKind() || nd.recordCount == 0) continue;
            std::uint64_t index = j + k;
            HfsNodeInfo info;
            info.index = index;
            info.volumeOffset = static_cast<std::uint64_t>(
                std::max<std::int64_t>(0, fork.volumeOffset(index * nodeSize)));
            info.forwardLink = nd.forwardLink;
            info.kind = nd.kind;
            info.height = nd.height;
            info.recordCount = nd.recordCount;
            info.recordOffsets = recordOffsets(view, nd.recordCount);
            // With a walk, the caller weighs the node map against the leaf chain itself.
            bool used = inUse(index);
            if (nd.kind == kLeafNode && index != 0 && (walk || used)) {
                leaf(view, info);
                if (walk)
                    walk->leaves.push_back(
                        {static_cast<std::uint32_t>(index), nd.forwardLink, used});
            }
            nodes.push_back(std::move(info));
        }
    }
    report().setProgressPosition(static_cast<std::int64_t>(total));
    if (walk) walk->firstLeaf = hdr->firstLeafNode;
    return hdr;
}

bool HFSP::readExtentsOverflow() {
    overflow_.clear();
    if (!header_) return false;
    // The extents file cannot overflow into itself: its eight extents are all it has.
    HfsForkExtents ex = mapFork(header_->extentsFile.extents, header_->extentsFile.totalBlocks,
                                kExtentsFileId, kDataFork, {});
    HfsForkReader fork(reader, header_->blockSize, volumeBlocks(), std::move(ex.extents));
    bool whole = false;
    auto hdr = walkTree(
        fork, extentsNodes_,
        [&](ByteView node, const HfsNodeInfo& info) {
            std::size_t limit = offsetTableStart(node, info.recordCount);
            for (std::uint16_t off : info.recordOffsets)
                if (auto r = parseOverflowRecord(node, off, limit))
                    overflow_.emplace(r->key, r->extents);
        },
        nullptr, whole);
    return hdr.has_value();
}

void HFSP::takeLeafRecords(ByteView node, const HfsNodeInfo& info, bool found) {
    std::size_t tableStart = offsetTableStart(node, info.recordCount);
    auto take = [&](std::size_t offset, const CatalogRecord& r, std::uint64_t order,
                    Candidate::Source source) {
        // Copies of live records tell nothing new.
        if (found && liveTreeRead_ && catalog_.find(r.id)) return;
        if (r.type == kFolderThread) {
            Thread::Source from = !found                      ? Thread::Tree
                                  : source == Candidate::Slot ? Thread::Slot
                                                              : Thread::Slack;
            threads_.push_back({r.id, r.threadParentId, r.threadName, from, order});
            return;
        }
        if (r.type != kFolderRecord && r.type != kFileRecord) return;
        HfsCatalogEntry e;
        e.cnid = r.id;
        e.parentId = r.keyParentId;
        e.recordType = r.type;
        e.fileMode = r.fileMode;
        e.createDate = r.createDate;
        e.contentModDate = r.contentModDate;
        e.attributeModDate = r.attributeModDate;
        e.accessDate = r.accessDate;
        e.nodeOffset = info.volumeOffset;
        e.recordOffset = static_cast<std::uint32_t>(offset);
        e.order = order;
        std::size_t extentCount = 0;
        if (r.type == kFileRecord) {
            e.size = r.dataFork.logicalSize;
            e.totalBlocks = r.dataFork.totalBlocks;
            while (extentCount < kExtentsPerRecord &&
                   r.dataFork.extents[extentCount].blockCount != 0)
                ++extentCount;
            if (r.isHardLink()) {
                e.flags |= HfsCatalogEntry::kHardLink;
                e.linkTarget = r.special;
            }
            if (r.isSymlink()) e.flags |= HfsCatalogEntry::kSymlink;
        }
        if (!found) {
            catalog_.add(e, r.keyName, {r.dataFork.extents.data(), extentCount});
            return;
        }
        Candidate c{e, r.keyName, r.dataFork.extents, source};
        candidates_.push_back(std::move(c));
    };

    for (std::size_t i = 0; i < info.recordOffsets.size(); ++i) {
        std::uint16_t off = info.recordOffsets[i];
        auto r = parseCatalogRecord(node, off, tableStart);
        if (!r) continue;
        std::uint64_t order = found ? kFoundOrderBase + foundSequence_++ : (info.index << 16) | i;
        take(off, *r, order, Candidate::Slot);
    }
    if (!found) return;
    // What deletions left behind: records past the live ones, and a freed node's whole body.
    carveCatalogRecords(node, freeSpaceOffset(node, info.recordCount), tableStart,
                        [&](std::size_t off, const CatalogRecord& r) {
                            take(off, r, kFoundOrderBase + foundSequence_++, Candidate::Slack);
                        });
}

bool HFSP::collectCatalogNodes() {
    bool ok = false;
    if (header_) {
        TreeWalk walk;
        bool whole = false;
        std::size_t firstEntry = catalog_.entries().size();
        std::size_t firstThread = threads_.size();
        HfsForkReader fork = forkReader(header_->catalogFile, kCatalogFileId);
        auto hdr = walkTree(
            fork, catalogNodes_,
            [&](ByteView node, const HfsNodeInfo& info) { takeLeafRecords(node, info, false); },
            &walk, whole);
        if (hdr) {
            ok = true;
            treeComplete_ = whole && !stopRequested.isSet();
            catalogNodeSize_ = hdr->nodeSize;
            // Records are met in node order; the leaf chain gives the catalog's key order (names
            // within a folder). Leaves off the chain follow in node order when the node map says
            // they are in use; a leaf neither linked nor in use was freed and is not the catalog's.
            std::unordered_map<std::uint32_t, const TreeWalk::Leaf*> leaves;
            for (const TreeWalk::Leaf& l : walk.leaves) leaves.emplace(l.node, &l);
            std::unordered_map<std::uint64_t, std::uint64_t> rank;
            std::uint64_t next = 0;
            for (std::uint32_t n = walk.firstLeaf; n != 0 && leaves.count(n) && !rank.count(n);
                 n = leaves[n]->forwardLink)
                rank[n] = next++;
            for (const TreeWalk::Leaf& l : walk.leaves)
                if (!rank.count(l.node) && l.inUse) rank[l.node] = next++;
            auto dropped = [&](std::uint64_t order) { return !rank.count(order >> 16); };
            auto reorder = [&](std::uint64_t& order) {
                order = (rank[order >> 16] << 16) | (order & 0xFFFF);
            };
            auto& entries = catalog_.entries();
            entries.erase(
                std::remove_if(entries.begin() + static_cast<std::ptrdiff_t>(firstEntry),
                               entries.end(),
                               [&](const HfsCatalogEntry& e) { return dropped(e.order); }),
                entries.end());
            threads_.erase(
                std::remove_if(threads_.begin() + static_cast<std::ptrdiff_t>(firstThread),
                               threads_.end(), [&](const Thread& t) { return dropped(t.order); }),
                threads_.end());
            for (std::size_t i = firstEntry; i < entries.size(); ++i) reorder(entries[i].order);
            for (std::size_t i = firstThread; i < threads_.size(); ++i) reorder(threads_[i].order);
            // The deep search asks which CNIDs are live as it goes.
            catalog_.seal();
        }
    }
    if (!deepMode_) stopRequested.clear();
    return ok;
}

bool HFSP::scanForCatalogNodes() {
    deepMode_ = true;
    if (!header_ || header_->blockSize == 0) {
        report().setStatusText("BlockSize not valid .Aborting..");
        return false;
    }
    // The live tree, as far as it can be read, tells deleted records from live ones.
    liveTreeRead_ = collectCatalogNodes();
    std::uint64_t blocks = volumeBlocks();
    std::int64_t mib = sizeTextMiB(volume.sizeText);
    if (mib > 0)
        blocks = std::min<std::uint64_t>(
            blocks, (static_cast<std::uint64_t>(mib) + 1) * 1048576 / header_->blockSize);
    if (blocks == 0) {
        report().setStatusText("BlockSize not valid .Aborting..");
        stopRequested.clear();
        return false;
    }
    if (!stopRequested.requested()) searchVolume(blocks);
    stopRequested.clear();
    return true;
}

void HFSP::searchVolume(std::uint64_t blocks) {
    const std::uint64_t blockSize = header_->blockSize;
    const std::uint64_t volumeBytes = blocks * blockSize;
    std::vector<std::uint32_t> sizes;
    if (isValidNodeSize(catalogNodeSize_))
        sizes.push_back(catalogNodeSize_);
    else
        sizes.assign(std::begin(kCatalogNodeSizes), std::end(kCatalogNodeSizes));
    // Nodes start at block starts, and at node-size steps inside a block larger than a node.
    const std::uint64_t step = std::min<std::uint64_t>(sizes.front(), blockSize);
    const std::size_t largest = *std::max_element(sizes.begin(), sizes.end());
    const std::size_t chunk =
        static_cast<std::size_t>(std::max<std::uint64_t>(kSearchChunk / step * step, step));
    std::vector<std::uint8_t> buffer(chunk + largest);

    report().setProgressRange(static_cast<std::int64_t>(blocks));
    std::uint64_t nextFree = 0;  // positions inside a node already taken are not node starts
    for (std::uint64_t base = 0; base < volumeBytes; base += chunk) {
        if (stopRequested.requested()) break;
        std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), volumeBytes - base));
        // The source retries a failed read in pieces; what stays unreadable is zeros.
        reader->readAt(static_cast<std::int64_t>(base), buffer.data(), want);
        std::size_t limit = std::min(chunk, want);
        for (std::size_t k = 0; k < limit; k += static_cast<std::size_t>(step)) {
            if (base + k < nextFree) continue;
            if (k + kMinNodeSize > want || buffer[k + node::kKind] != 0xFF ||
                buffer[k + node::kHeight] != 1)
                continue;
            for (std::uint32_t size : sizes) {
                if (k + size > want) continue;
                ByteView view(buffer.data() + k, size);
                if (!looksLikeCatalogLeaf(view)) continue;
                NodeDescriptor d = parseNodeDescriptor(view);
                HfsNodeInfo info;
                info.volumeOffset = base + k;
                info.index = info.volumeOffset / size;
                info.forwardLink = d.forwardLink;
                info.kind = d.kind;
                info.height = d.height;
                info.recordCount = d.recordCount;
                info.recordOffsets = recordOffsets(view, d.recordCount);
                takeLeafRecords(view, info, true);
                foundNodes_.push_back(std::move(info));
                nextFree = base + k + size;
                break;
            }
        }
        report().setProgressPosition(static_cast<std::int64_t>((base + limit) / blockSize));
    }
}

void HFSP::readCatalogRecords() {
    report().setProgressRange(static_cast<std::int64_t>(candidates_.size() + 1));
    auto extentCount = [](const Candidate& c) {
        std::size_t n = 0;
        while (n < kExtentsPerRecord && c.extents[n].blockCount != 0) ++n;
        return n;
    };
    if (deepMode_ && !treeComplete_) {
        // No whole tree to ask: records a node still indexes count as live.
        for (const Candidate& c : candidates_)
            if (c.source == Candidate::Slot)
                catalog_.add(c.entry, c.name, {c.extents.data(), extentCount(c)});
    }
    catalog_.seal();

    if (deepMode_) {
        // Of the copies of a record no longer in the catalog, the one that still names data.
        auto better = [&](const Candidate& a, const Candidate& b) {
            bool da = a.entry.size > 0 && extentCount(a) > 0;
            bool db = b.entry.size > 0 && extentCount(b) > 0;
            if (da != db) return da;
            if (a.entry.contentModDate != b.entry.contentModDate)
                return a.entry.contentModDate > b.entry.contentModDate;
            return a.entry.order < b.entry.order;
        };
        std::unordered_map<std::uint32_t, std::size_t> best;
        for (std::size_t i = 0; i < candidates_.size(); ++i) {
            const Candidate& c = candidates_[i];
            if (catalog_.find(c.entry.cnid)) continue;
            auto [it, fresh] = best.try_emplace(c.entry.cnid, i);
            if (!fresh && better(c, candidates_[it->second])) it->second = i;
        }
        std::vector<std::size_t> chosen;
        chosen.reserve(best.size());
        for (const auto& [cnid, i] : best) chosen.push_back(i);
        std::sort(chosen.begin(), chosen.end());
        for (std::size_t i : chosen) {
            Candidate& c = candidates_[i];
            c.entry.flags |= HfsCatalogEntry::kDeleted;
            catalog_.add(c.entry, c.name, {c.extents.data(), extentCount(c)});
        }
        catalog_.seal();
    }
    candidates_.clear();
    candidates_.shrink_to_fit();
    addThreadFolders();
    threads_.clear();
    threads_.shrink_to_fit();
    resolveHardLinks();
    if (deepMode_) markRecoverable();
    report().setProgressPosition(static_cast<std::int64_t>(catalog_.size()));
}

void HFSP::addThreadFolders() {
    auto live = [&](const Thread& t) {
        return t.source == Thread::Tree || (t.source == Thread::Slot && !treeComplete_);
    };
    std::unordered_map<std::uint32_t, const Thread*> byCnid;
    for (const Thread& t : threads_) {
        auto [it, fresh] = byCnid.try_emplace(t.cnid, &t);
        if (!fresh && live(t) && !live(*it->second)) it->second = &t;
    }
    // The root folder is where everything hangs, whether or not its record was read.
    if (!catalog_.find(kRootFolderId)) {
        HfsCatalogEntry root;
        root.cnid = kRootFolderId;
        root.parentId = kRootParentId;
        root.recordType = kFolderRecord;
        root.flags = HfsCatalogEntry::kSynthetic;
        catalog_.insertSealed(root, u"");
    }
    // A parent known only by its thread becomes a folder; its own parent may need the same.
    std::vector<std::uint32_t> missing;
    for (const HfsCatalogEntry& e : catalog_)
        if (e.cnid != kRootFolderId && !catalog_.find(e.parentId)) missing.push_back(e.parentId);
    std::unordered_set<std::uint32_t> tried;
    while (!missing.empty()) {
        std::uint32_t cnid = missing.back();
        missing.pop_back();
        if (!tried.insert(cnid).second || catalog_.find(cnid)) continue;
        auto it = byCnid.find(cnid);
        if (it == byCnid.end()) continue;
        const Thread& t = *it->second;
        HfsCatalogEntry f;
        f.cnid = t.cnid;
        f.parentId = t.parentId;
        f.recordType = kFolderRecord;
        f.flags = HfsCatalogEntry::kSynthetic | (live(t) ? 0 : HfsCatalogEntry::kDeleted);
        f.order = t.order;
        catalog_.insertSealed(f, t.name);
        if (!catalog_.find(t.parentId)) missing.push_back(t.parentId);
    }
}

void HFSP::resolveHardLinks() {
    std::uint32_t privateFolder = kNoCnid;
    for (const HfsCatalogEntry& e : catalog_)
        if (e.isFolder() && e.parentId == kRootFolderId && catalog_.name(e) == kPrivateDataFolder &&
            (privateFolder == kNoCnid || !e.has(HfsCatalogEntry::kDeleted)))
            privateFolder = e.cnid;
    std::unordered_map<std::u16string, std::uint32_t> nodes;
    if (privateFolder != kNoCnid)
        for (const HfsCatalogEntry& e : catalog_)
            if (e.isFile() && e.parentId == privateFolder && !e.has(HfsCatalogEntry::kHardLink))
                nodes.emplace(catalog_.name(e), e.cnid);
    for (HfsCatalogEntry& e : catalog_.entries()) {
        if (!e.has(HfsCatalogEntry::kHardLink)) continue;
        std::string number = std::to_string(e.linkTarget);
        std::u16string name = kHardLinkFilePrefix + std::u16string(number.begin(), number.end());
        auto it = nodes.find(name);
        std::uint32_t target = it != nodes.end() ? it->second : kNoCnid;
        // Newer systems number the link by the file's own CNID.
        if (target == kNoCnid) {
            const HfsCatalogEntry* f = catalog_.find(e.linkTarget);
            if (f && f->isFile() && !f->has(HfsCatalogEntry::kHardLink)) target = f->cnid;
        }
        e.linkTarget = target;
    }
}

void HFSP::markRecoverable() {
    if (!header_) return;
    HfsForkReader bitmapFork = forkReader(header_->allocationFile, kAllocationFileId);
    AllocationBitmap bitmap(bitmapFork, volumeBlocks());
    for (HfsCatalogEntry& e : catalog_.entries()) {
        if (!e.isFile() || !e.has(HfsCatalogEntry::kDeleted)) continue;
        std::uint64_t blocks = 0;
        bool free = true;
        for (const Extent& x : catalog_.extents(e)) {
            blocks += x.blockCount;
            free = free && bitmap.allFree(x.startBlock, x.blockCount);
        }
        // Only the record's own extents are known: a file that needed more cannot come back.
        bool covered = blocks >= e.totalBlocks && blocks * header_->blockSize >= e.size;
        if (free && covered) e.flags |= HfsCatalogEntry::kRecoverable;
    }
}

void HFSP::linkChildren() {
    report().setStatusText("Maintaining Parent Child....");
    auto& entries = catalog_.entries();
    const std::size_t n = entries.size();
    report().setProgressRange(static_cast<std::int64_t>(n));
    for (HfsCatalogEntry& e : entries) e.firstChild = e.nextSibling = kNoCnid;
    auto position = [&](std::uint32_t cnid) -> std::uint32_t {
        const HfsCatalogEntry* e = catalog_.find(cnid);
        return e ? static_cast<std::uint32_t>(e - entries.data()) : kNoPosition;
    };

    // Entries whose parent is missing, not a folder, or part of a loop go to the orphan folder.
    std::uint32_t largest = catalog_.largestCnid();
    orphanCnid_ = largest < UINT32_MAX ? largest + 1 : kRootParentId;
    std::vector<std::uint8_t> state(n, 0);  // 0 not seen, 1 on the current path, 2 settled
    std::vector<std::uint32_t> path;
    bool orphans = false;
    for (std::size_t i = 0; i < n; ++i) {
        path.clear();
        for (std::uint32_t x = static_cast<std::uint32_t>(i); state[x] != 2;) {
            HfsCatalogEntry& e = entries[x];
            if (state[x] == 1) {
                e.parentId = orphanCnid_;
                orphans = true;
                break;
            }
            state[x] = 1;
            path.push_back(x);
            if (e.cnid == kRootFolderId || e.parentId == kRootFolderId) break;
            std::uint32_t p = position(e.parentId);
            if (p == kNoPosition || p == x || !entries[p].isFolder()) {
                e.parentId = orphanCnid_;
                orphans = true;
                break;
            }
            x = p;
        }
        for (std::uint32_t x : path) state[x] = 2;
    }
    if (orphans) {
        HfsCatalogEntry orphan;
        orphan.cnid = orphanCnid_;
        orphan.parentId = kRootFolderId;
        orphan.recordType = kFolderRecord;
        orphan.flags = HfsCatalogEntry::kSynthetic;
        orphan.order = UINT64_MAX;
        std::string name = kHfsOrphanEntryName;
        catalog_.insertSealed(orphan, std::u16string(name.begin(), name.end()));
    } else {
        orphanCnid_ = kNoCnid;
    }

    // Children in the order their records were met: catalog key order, deleted ones after.
    const std::size_t total = entries.size();
    std::vector<std::uint32_t> byOrder(total);
    for (std::uint32_t i = 0; i < total; ++i) byOrder[i] = i;
    std::stable_sort(byOrder.begin(), byOrder.end(), [&](std::uint32_t a, std::uint32_t b) {
        return entries[a].order < entries[b].order;
    });
    std::vector<std::uint32_t> lastChild(total, kNoPosition);
    for (std::size_t k = 0; k < total; ++k) {
        if (stopRequested.requested()) break;
        if (k % kStatusEvery == 0 || k + 1 == total) {
            report().setStatusText(
                formatCount("Maintaining Parent Child for record %lld of %lld....",
                            static_cast<long long>(k), static_cast<long long>(total)));
            report().setProgressPosition(static_cast<std::int64_t>(k + 1));
        }
        HfsCatalogEntry& e = entries[byOrder[k]];
        if (e.cnid == kRootFolderId) continue;
        std::uint32_t p = position(e.parentId);
        if (p == kNoPosition) continue;
        if (lastChild[p] == kNoPosition)
            entries[p].firstChild = e.cnid;
        else
            entries[lastChild[p]].nextSibling = e.cnid;
        lastChild[p] = byOrder[k];
    }
    stopRequested.clear();
}

void HFSP::fillRootNodes() {
    if (!resultsTree) return;
    long long i = 0;
    forEachChild(kRootFolderId, [&](ItemData child) {
        if (stopRequested.requested()) return false;
        if (i % static_cast<long long>(kStatusEvery) == 0)
            report().setStatusText(formatCount(
                isFolder(child) ? "found folder at Node %lld" : "found file at Node %lld", i));
        insertChildItem(volumeRootItem, child, true, kRootFolderId);
        ++i;
        return true;
    });
    if (volumeRootItem != kNoItem) resultsTree->expand(volumeRootItem);
}

const HfsCatalogEntry* HFSP::find(ItemData entry) const {
    if (entry <= 0 || entry > UINT32_MAX) return nullptr;
    return catalog_.find(static_cast<std::uint32_t>(entry));
}

const HfsCatalogEntry* HFSP::dataEntry(ItemData entry) const {
    const HfsCatalogEntry* e = find(entry);
    if (!e || !e->isFile()) return nullptr;
    if (!e->has(HfsCatalogEntry::kHardLink)) return e;
    const HfsCatalogEntry* target = e->linkTarget ? catalog_.find(e->linkTarget) : nullptr;
    return target && target->isFile() ? target : nullptr;
}

bool HFSP::isEntry(ItemData entry) const {
    return find(entry) != nullptr;
}

bool HFSP::isFolder(ItemData entry) const {
    const HfsCatalogEntry* e = find(entry);
    return e && e->isFolder();
}

bool HFSP::hasChildren(ItemData entry) const {
    const HfsCatalogEntry* e = find(entry);
    return e && e->firstChild != kNoCnid;
}

std::u16string HFSP::nameOf(const HfsCatalogEntry& e) const {
    return std::u16string(catalog_.name(e));
}

std::string HFSP::recordedName(ItemData entry) const {
    const HfsCatalogEntry* e = find(entry);
    if (!e) return "";
    // NUL is a legal character here (the private folder's name begins with four); shown as the
    // NUL symbol so no consumer cuts the name at it.
    std::u16string name = nameOf(*e);
    std::replace(name.begin(), name.end(), u'\0', u'\u2400');
    return utf16ToUtf8(name);
}

bool HFSP::isDeleted(ItemData entry, ItemData) const {
    const HfsCatalogEntry* e = find(entry);
    return e && e->has(HfsCatalogEntry::kDeleted);
}

void HFSP::forEachChild(ItemData folder, const std::function<bool(ItemData)>& visit) const {
    const HfsCatalogEntry* f = find(folder);
    if (!f || !f->isFolder()) return;
    std::size_t steps = 0;
    for (std::uint32_t c = f->firstChild; c != kNoCnid && steps < catalog_.size(); ++steps) {
        const HfsCatalogEntry* e = catalog_.find(c);
        if (!e || !visit(c)) return;
        c = e->nextSibling;
    }
}

EntryColumns HFSP::entryColumns(ItemData entry) const {
    EntryColumns cols;
    const HfsCatalogEntry* e = find(entry);
    if (!e) return cols;
    const HfsCatalogEntry* d = dataEntry(entry);
    if (!d) d = e;
    cols.created = dateText(unixToLocal(hfsToUnix(d->createDate)));
    cols.accessed = dateText(unixToLocal(hfsToUnix(d->accessDate)));
    cols.modified = dateText(unixToLocal(hfsToUnix(d->contentModDate)));
    static constexpr std::pair<std::uint16_t, const char*> kModeLetters[] = {
        {0x040, "-Owner:X"}, {0x080, "-Owner:W"}, {0x100, "-Owner:R"},
        {0x001, "-OX"},      {0x002, "-OW"},      {0x004, "-OR"},
        {0x008, "-GX"},      {0x010, "-GW"},      {0x020, "-GR"}};
    for (const auto& [bit, text] : kModeLetters)
        if (d->fileMode & bit) cols.attributes += text;
    return cols;
}

std::string HFSP::entrySizeText(ItemData entry) const {
    return sizeText(static_cast<std::int64_t>(entrySize(entry)));
}

std::uint64_t HFSP::entrySize(ItemData entry) const {
    const HfsCatalogEntry* d = dataEntry(entry);
    return d ? d->size : 0;
}

RecordedTimes HFSP::recordedTimes(ItemData entry) const {
    RecordedTimes t;
    const HfsCatalogEntry* e = isFolder(entry) ? find(entry) : dataEntry(entry);
    if (!e) return t;
    auto host = [](std::uint32_t seconds) -> std::optional<HostTime> {
        if (seconds == 0) return std::nullopt;
        return hostTime(seconds);
    };
    t.created = host(e->createDate);
    t.accessed = host(e->accessDate);
    t.modified = host(e->contentModDate);
    return t;
}

bool HFSP::writeEntry(ItemData entry, EntryWriter& out) {
    const HfsCatalogEntry* d = dataEntry(entry);
    if (!d || !header_) return false;
    out.setTimes(hostTime(d->accessDate), hostTime(d->contentModDate));
    // A deleted file whose blocks now belong to others would come back as someone else's data.
    if (d->has(HfsCatalogEntry::kDeleted) && !d->has(HfsCatalogEntry::kRecoverable)) return false;
    // A deleted file's overflow records went with it; its own extents are all it has.
    static const HfsOverflowMap kNone;
    HfsForkExtents ex = mapFork(catalog_.extents(*d), d->totalBlocks, d->cnid, kDataFork,
                                d->has(HfsCatalogEntry::kDeleted) ? kNone : overflow_);
    const std::vector<hfs::Extent> extents = ex.extents;
    HfsForkReader fork(reader, header_->blockSize, volumeBlocks(), std::move(ex.extents));
    // No file is larger than its volume; what lies past the volume is not there to copy.
    std::uint64_t available =
        std::min<std::uint64_t>({d->size, fork.readableLength(), volumeBytes()});
    // Where each piece comes from, for the recovery report.
    std::uint64_t placed = 0;
    for (const hfs::Extent& x : extents) {
        if (placed >= available) break;
        const std::uint64_t n = std::min<std::uint64_t>(
            std::uint64_t{x.blockCount} * header_->blockSize, available - placed);
        out.noteRun({placed,
                     static_cast<std::int64_t>(std::uint64_t{x.startBlock} * header_->blockSize), n,
                     ByteRun::Kind::Data});
        placed += n;
    }
    bool whole = available == d->size;
    std::vector<std::uint8_t> buffer(
        static_cast<std::size_t>(std::min<std::uint64_t>(kCopyBytes, available)));
    for (std::uint64_t at = 0; at < available;) {
        std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), available - at));
        // Unreadable sectors come back as zeros in their place.
        if (!fork.read(at, buffer.data(), n)) whole = false;
        if (!out.write(buffer.data(), n)) return false;
        at += n;
    }
    return whole;
}

}  // namespace vel
