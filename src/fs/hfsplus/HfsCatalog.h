#pragma once
// What an HFS+ scan keeps: the collected B-tree nodes, one catalog entry per CNID and the
// extents-overflow records. Names and extents live in the map's arenas, so an entry stays small.
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fs/hfsplus/HfsLayout.h"

namespace vel {

// One B-tree node that was read: from a tree's own file, or found by the deep search.
struct HfsNodeInfo {
    std::uint64_t index = 0;         // node number (found nodes: volume offset / node size)
    std::uint64_t volumeOffset = 0;  // where its first byte is
    std::uint32_t forwardLink = 0;
    std::int8_t kind = 0;
    std::uint8_t height = 0;
    std::uint16_t recordCount = 0;
    std::vector<std::uint16_t> recordOffsets;  // in record order
};

inline constexpr std::uint32_t kNoCnid = 0;

struct HfsCatalogEntry {
    enum Flags : std::uint8_t {
        kDeleted = 0x01,      // found outside the live catalog
        kRecoverable = 0x02,  // deleted, and every block it names is free
        kHardLink = 0x04,
        kSymlink = 0x08,
        kSynthetic = 0x10,  // not a record: the orphan folder, a folder known by its thread
    };

    std::uint32_t cnid = 0;
    std::uint32_t parentId = 0;
    std::uint32_t firstChild = kNoCnid;
    std::uint32_t nextSibling = kNoCnid;
    std::uint16_t recordType = 0;  // 1 folder, 2 file
    std::uint16_t fileMode = 0;
    std::uint8_t flags = 0;
    std::uint8_t extentCount = 0;  // the record's own extents, at most eight
    std::uint16_t nameLength = 0;
    std::uint32_t nameStart = 0;    // in the map's name arena
    std::uint32_t extentStart = 0;  // in the map's extent arena
    std::uint32_t createDate = 0, contentModDate = 0, attributeModDate = 0, accessDate = 0;
    std::uint32_t totalBlocks = 0;
    std::uint32_t linkTarget = 0;  // hard links: the link reference, then the CNID holding the data
    std::uint64_t size = 0;        // data fork logical size
    std::uint64_t nodeOffset = 0;  // volume offset of the node the record was read from
    std::uint32_t recordOffset = 0;
    std::uint64_t order = 0;  // where it was met: live records in catalog key order first

    bool isFolder() const { return recordType == hfs::kFolderRecord; }
    bool isFile() const { return recordType == hfs::kFileRecord; }
    bool has(Flags f) const { return (flags & f) != 0; }
};

// CNID -> entry, in CNID order. Entries are added while a scan builds it and sealed once; of
// several entries for one CNID the one met first (lowest order) stays.
class HfsCatalogMap {
  public:
    void add(HfsCatalogEntry entry, std::u16string_view name,
             std::span<const hfs::Extent> extents = {});
    void seal();
    // Adds one entry to a sealed map; false when its CNID is taken.
    bool insertSealed(HfsCatalogEntry entry, std::u16string_view name);
    void clear();

    const HfsCatalogEntry* find(std::uint32_t cnid) const;
    HfsCatalogEntry* find(std::uint32_t cnid);
    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    std::uint32_t largestCnid() const { return entries_.empty() ? 0 : entries_.back().cnid; }

    std::vector<HfsCatalogEntry>::const_iterator begin() const { return entries_.begin(); }
    std::vector<HfsCatalogEntry>::const_iterator end() const { return entries_.end(); }
    std::vector<HfsCatalogEntry>& entries() { return entries_; }
    const std::vector<HfsCatalogEntry>& entries() const { return entries_; }

    std::u16string_view name(const HfsCatalogEntry& e) const;
    std::span<const hfs::Extent> extents(const HfsCatalogEntry& e) const;

  private:
    std::vector<HfsCatalogEntry> entries_;
    std::vector<char16_t> names_;
    std::vector<hfs::Extent> extents_;
};

// (fork type, file ID, fork-relative start block) -> the eight extents of that overflow record.
using HfsOverflowMap = std::map<hfs::OverflowKey, hfs::ExtentRecord>;

}  // namespace vel
