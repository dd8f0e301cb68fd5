#pragma once
// The record scheme the FAT-family parsers share: one vector of records, each knowing the index
// of the folder it was found in, linked into first-child / next-sibling chains. Record 0 is the
// synthetic top record ("DUMMY ENTRY") that stands for the root folder; root entries have parent 0.
// Item data in the results tree is a record's index.
//
// A Record needs two members: `RecordLinks links;` and `std::string name;` (UTF-8).
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

#include "scan/VolumeParser.h"

namespace vel {

inline constexpr std::int64_t kNoRecord = -1;
inline constexpr const char* kDummyEntryName = "DUMMY ENTRY";
// A deleted file whose cluster chain is gone is read from the free clusters that follow its
// first one, skipping those in use.
inline constexpr const char* kFreeClusterNote = "recovered by the free-cluster assumption";

struct RecordLinks {
    std::uint32_t parentIndex = 0;  // record the entry was found in; 0 for root entries
    std::uint32_t ownIndex = 0;
    std::int64_t firstChild = kNoRecord;
    std::int64_t nextSibling = kNoRecord;
};

// Directory clusters (or byte positions) decoded during a scan: each is decoded at most once, so
// a damaged entry naming an ancestor, or a second entry for the same folder, adds nothing.
class DirectoryGuard {
  public:
    // True the first time a key is entered.
    bool enter(std::uint64_t key) { return seen_.insert(key).second; }
    bool contains(std::uint64_t key) const { return seen_.count(key) != 0; }
    void clear() { seen_.clear(); }
    std::size_t size() const { return seen_.size(); }

  private:
    std::unordered_set<std::uint64_t> seen_;
};

// Links every record to its parent's child chain, in list order. A record whose parent index is
// out of range or is itself stays unlinked (the top record). Linear: each record is appended
// once, behind the last child linked so far. progress, when given, gets range 0..1000.
template <class Record>
void linkRecords(std::vector<Record>& records, ScanSink* progress = nullptr) {
    const std::size_t n = records.size();
    std::vector<std::int64_t> lastChild(n, kNoRecord);
    for (auto& r : records) {
        r.links.firstChild = kNoRecord;
        r.links.nextSibling = kNoRecord;
    }
    if (progress) progress->setProgressRange(1000);
    for (std::size_t i = 0; i < n; ++i) {
        if (progress && (i & 0x3FF) == 0)
            progress->setProgressPosition(static_cast<std::int64_t>(i * 1000 / n));
        std::size_t p = records[i].links.parentIndex;
        if (p >= n || p == i) continue;
        auto idx = static_cast<std::int64_t>(i);
        if (lastChild[p] == kNoRecord)
            records[p].links.firstChild = idx;
        else
            records[static_cast<std::size_t>(lastChild[p])].links.nextSibling = idx;
        lastChild[p] = idx;
    }
    if (progress) progress->setProgressPosition(1000);
}

// A VolumeParser over such a record vector: item data, names, children and the first level.
template <class Record>
class LinkedRecordParser : public VolumeParser {
  public:
    using VolumeParser::VolumeParser;

    bool isEntry(ItemData e) const override {
        return e >= 0 && static_cast<std::uint64_t>(e) < records_.size();
    }
    bool hasChildren(ItemData e) const override {
        return isEntry(e) && at(e).links.firstChild != kNoRecord;
    }
    std::string recordedName(ItemData e) const override { return isEntry(e) ? at(e).name : ""; }
    // Children through first child and next sibling; at most one visit per record, so damaged
    // links cannot loop.
    void forEachChild(ItemData folder, const std::function<bool(ItemData)>& visit) const override {
        if (!isEntry(folder)) return;
        std::size_t steps = 0;
        for (std::int64_t c = at(folder).links.firstChild;
             c != kNoRecord && isEntry(c) && steps < records_.size(); ++steps) {
            if (!visit(c)) return;
            c = at(c).links.nextSibling;
        }
    }

    const std::vector<Record>& records() const { return records_; }
    const Record& record(ItemData e) const { return at(e); }

  protected:
    const Record& at(ItemData e) const { return records_[static_cast<std::size_t>(e)]; }
    Record& at(ItemData e) { return records_[static_cast<std::size_t>(e)]; }

    // Appends a record found in folder parent; returns its index (also its own index).
    std::uint32_t appendRecord(Record r, std::uint32_t parent) {
        auto idx = static_cast<std::uint32_t>(records_.size());
        r.links.parentIndex = parent;
        r.links.ownIndex = idx;
        records_.push_back(std::move(r));
        return idx;
    }

    void linkChildrenOfRecords(ScanSink* progress = nullptr) { linkRecords(records_, progress); }

    // The first level under the volume's top node: every root record that show accepts, with
    // the status line "filling entry =%d in tree " per record and the deleted look; the top node
    // is expanded at the end.
    void fillRootLevel(const std::function<bool(const Record&)>& show) {
        if (!resultsTree) return;
        TreeItem top = volumeRootItem;
        for (std::size_t i = 1; i < records_.size(); ++i) {
            if ((i & 0xFF) == 1 || i + 1 == records_.size())
                report().setStatusText("filling entry =" + std::to_string(i) + " in tree ");
            const Record& r = records_[i];
            if (r.links.parentIndex != 0 || !show(r)) continue;
            insertChildItem(top, static_cast<ItemData>(i), true, 0);
        }
        if (top != kNoItem) resultsTree->expand(top);
    }

    std::vector<Record> records_;
};

}  // namespace vel
