#pragma once
// The HFS+ (and HFSX) parser. The standard mode reads the catalog B-tree through every extent of
// the catalog file; the deep mode also searches the whole volume for catalog leaf nodes and takes
// the records left in freed nodes and in the slack of live ones as deleted entries. Item data is
// a catalog node ID (CNID).
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "fs/hfsplus/HfsCatalog.h"
#include "fs/hfsplus/HfsFork.h"
#include "platform/FileTimes.h"
#include "scan/VolumeParser.h"

namespace vel {

inline constexpr const char* kHfsOrphanEntryName = "ORPHAN_ENTRY";

class HFSP final : public VolumeParser {
  public:
    explicit HFSP(VolumeDescriptor descriptor, ParserOptions options = {});

    // Mode 1: the catalog's own tree; every other mode: the deep search as well.
    WorkerResult runWorker(int scanMode) override;

    // The worker's steps, in the order it calls them: the extents-overflow tree comes before the
    // catalog, whose own extents may be there; collectCatalogNodes in the standard mode,
    // scanForCatalogNodes (which reads the tree too) in the others.
    bool openVolume();
    bool readVolumeHeader();
    bool readExtentsOverflow();
    bool collectCatalogNodes();
    bool scanForCatalogNodes();
    void readCatalogRecords();
    void linkChildren();
    void fillRootNodes();

    bool isEntry(ItemData entry) const override;
    bool isFolder(ItemData entry) const override;
    bool hasChildren(ItemData entry) const override;
    std::string recordedName(ItemData entry) const override;
    bool isDeleted(ItemData entry, ItemData folder) const override;
    void forEachChild(ItemData folder, const std::function<bool(ItemData)>& visit) const override;
    EntryColumns entryColumns(ItemData entry) const override;
    std::string entrySizeText(ItemData entry) const override;
    std::uint64_t entrySize(ItemData entry) const override;
    // The data fork of a file entry (a hard link's: of the file it links to).
    RecordedTimes recordedTimes(ItemData entry) const override;
    bool writeEntry(ItemData entry, EntryWriter& out) override;

    // State, for the steps and for tests.
    void setDeepMode(bool deep) { deepMode_ = deep; }
    bool deepMode() const { return deepMode_; }
    const std::optional<hfs::VolumeHeader>& volumeHeader() const { return header_; }
    const HfsCatalogMap& catalog() const { return catalog_; }
    const HfsOverflowMap& overflow() const { return overflow_; }
    const std::vector<HfsNodeInfo>& catalogNodes() const { return catalogNodes_; }
    const std::vector<HfsNodeInfo>& extentsNodes() const { return extentsNodes_; }
    const std::vector<HfsNodeInfo>& foundNodes() const { return foundNodes_; }
    std::uint32_t catalogNodeSize() const { return catalogNodeSize_; }
    std::uint32_t orphanCnid() const { return orphanCnid_; }
    // The entry whose data a file entry shows (itself, or a hard link's file); null when none.
    const HfsCatalogEntry* dataEntry(ItemData entry) const;

  private:
    // A record met by the deep search.
    struct Candidate {
        enum Source : std::uint8_t { Slot, Slack };  // indexed by its node, or left in its slack
        HfsCatalogEntry entry;
        std::u16string name;
        hfs::ExtentRecord extents{};
        Source source = Slot;
    };
    // A folder thread record: how a folder whose own record is gone is still known.
    struct Thread {
        enum Source : std::uint8_t { Tree, Slot, Slack };
        std::uint32_t cnid = 0, parentId = 0;
        std::u16string name;
        Source source = Tree;
        std::uint64_t order = 0;
    };
    struct TreeWalk {
        struct Leaf {
            std::uint32_t node = 0, forwardLink = 0;
            bool inUse = true;  // by the node map
        };
        std::uint32_t firstLeaf = 0;
        std::vector<Leaf> leaves;
    };

    const HfsCatalogEntry* find(ItemData entry) const;
    std::uint64_t volumeBlocks() const;
    std::uint64_t volumeBytes() const;
    HfsForkReader forkReader(const hfs::ForkData& fork, std::uint32_t fileId) const;
    // Reads a B-tree's nodes in node order. Leaf nodes go to leaf: with a walk every one (listed
    // in it), without only those the node map marks in use. whole: every node was read intact.
    std::optional<hfs::HeaderRecord> walkTree(
        const HfsForkReader& fork, std::vector<HfsNodeInfo>& nodes,
        const std::function<void(ByteView, const HfsNodeInfo&)>& leaf, TreeWalk* walk, bool& whole);
    // found: a node of the deep search, whose slack is searched for stale records too.
    void takeLeafRecords(ByteView node, const HfsNodeInfo& info, bool found);
    void searchVolume(std::uint64_t blocks);
    void addThreadFolders();
    void resolveHardLinks();
    void markRecoverable();
    std::u16string nameOf(const HfsCatalogEntry& e) const;

    std::optional<hfs::VolumeHeader> header_;
    bool deepMode_ = false;
    std::uint32_t catalogNodeSize_ = 0;
    bool liveTreeRead_ = false;  // the catalog's own tree was read (deep mode)
    // ... every node of it: what it does not hold is deleted. Otherwise records a found node
    // still indexes may be live ones the tree could not give.
    bool treeComplete_ = false;
    std::vector<HfsNodeInfo> catalogNodes_, extentsNodes_, foundNodes_;
    std::vector<Candidate> candidates_;
    std::vector<Thread> threads_;
    HfsCatalogMap catalog_;
    HfsOverflowMap overflow_;
    std::uint32_t orphanCnid_ = kNoCnid;
    std::uint64_t foundSequence_ = 0;
};

}  // namespace vel
