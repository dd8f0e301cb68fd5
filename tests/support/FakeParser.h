#pragma once
// A parser over entries built in the test, for the screens' and saver's own rules.
#include <string>
#include <vector>

#include "scan/VolumeParser.h"

namespace vel::test {

class FakeParser : public VolumeParser {
  public:
    struct Entry {
        std::string name;
        bool folder = false;
        bool deleted = false;
        std::string data;
        std::vector<ItemData> children;
        RecordedTimes times;
        std::int64_t onVolume = -1;  // the data is read from the attached source here
        std::uint64_t hole = 0;      // zeros after the data, by the file system's record
    };

    FakeParser() : VolumeParser(VolumeDescriptor{"fake", "", "", "1", 0}) {
        entries.push_back({"", true, false, "", {}, {}, -1, 0});  // 0: the volume's root folder
    }

    ItemData add(ItemData parent, const std::string& name, bool folder, std::string data = "",
                 bool deleted = false) {
        entries.push_back({name, folder, deleted, std::move(data), {}, {}, -1, 0});
        auto id = static_cast<ItemData>(entries.size() - 1);
        entries[static_cast<std::size_t>(parent)].children.push_back(id);
        return id;
    }

    // First level under a "ROOT" item, as a parser's worker would put it.
    WorkerResult runWorker(int) override {
        insertVolumeRootItem();
        for (ItemData c : entries[0].children) insertChildItem(volumeRootItem, c, true, 0);
        addPlaceholders();
        resultsTree->expand(volumeRootItem);
        return {};
    }

    bool isEntry(ItemData e) const override {
        return e >= 0 && e < static_cast<ItemData>(entries.size());
    }
    bool isFolder(ItemData e) const override { return at(e).folder; }
    bool hasChildren(ItemData e) const override { return !at(e).children.empty(); }
    std::string recordedName(ItemData e) const override { return at(e).name; }
    bool isDeleted(ItemData e, ItemData) const override { return at(e).deleted; }
    void forEachChild(ItemData f, const std::function<bool(ItemData)>& visit) const override {
        for (ItemData c : at(f).children)
            if (!visit(c)) return;
    }
    EntryColumns entryColumns(ItemData) const override { return {"c", "a", "m", "-A", ""}; }
    std::string entrySizeText(ItemData e) const override {
        return std::to_string(at(e).data.size()) + " Bytes";
    }
    std::uint64_t entrySize(ItemData e) const override { return at(e).data.size() + at(e).hole; }
    bool skipOnSave(ItemData e) const override { return at(e).name == "$BadClus"; }
    bool enterOnSave(ItemData e) const override { return at(e).name != "."; }
    RecordedTimes recordedTimes(ItemData e) const override { return at(e).times; }
    bool writeEntry(ItemData e, EntryWriter& out) override {
        const Entry& x = at(e);
        if (x.name == "unreadable") return false;
        out.setTimes(x.times.accessed, x.times.modified);
        bool whole = true;
        std::string bytes = x.data;
        if (x.onVolume >= 0 && reader) {
            out.noteRun({0, x.onVolume, bytes.size(), ByteRun::Kind::Data});
            whole = static_cast<bool>(reader->readAt(x.onVolume, bytes.data(), bytes.size()));
        }
        if (!out.write(bytes.data(), bytes.size())) return false;
        if (x.hole > 0) {
            out.noteRun({bytes.size(), -1, x.hole, ByteRun::Kind::Hole});
            if (!out.writeZeros(x.hole)) return false;
        }
        return whole;
    }

    const Entry& at(ItemData e) const { return entries.at(static_cast<std::size_t>(e)); }
    std::vector<Entry> entries;
};

}  // namespace vel::test
