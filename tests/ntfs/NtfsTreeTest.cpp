#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <random>
#include <set>

#include "NtfsVolumeBuilder.h"
#include "fs/ntfs/ntfs.h"
#include "scan/FolderSaver.h"
#include "scan/MemoryTree.h"
#include "support/Fixtures.h"

using namespace vel;
using namespace vel::test;
namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kCluster = 4096;
constexpr std::uint64_t kDataArea = 64 * 1024;  // records first, then clusters 16 and up

// A volume in memory: record i at offset i * 1024, file data from cluster 16.
struct SyntheticVolume {
    SyntheticVolume()
        : reader(std::vector<std::uint8_t>(256 * 1024, 0)), parser(VolumeDescriptor{}) {}

    void setRecord(std::size_t i, const std::vector<std::uint8_t>& rec) {
        std::copy(rec.begin(), rec.end(),
                  reader.bytes().begin() + static_cast<std::ptrdiff_t>(i * 1024));
        records = std::max(records, i + 1);
    }
    void setCluster(std::uint64_t cluster, const std::string& bytes) {
        std::copy(bytes.begin(), bytes.end(),
                  reader.bytes().begin() + static_cast<std::ptrdiff_t>(cluster * kCluster));
    }
    // The entry list as the MFT enumeration leaves it, then the tree.
    void build() {
        parser.attach(&reader, &tree, &sink);
        parser.clusterSize = kCluster;
        parser.mftReady = true;
        for (std::size_t i = 0; i < records; ++i) {
            NtfsEntry e;
            e.signature = ntfsfmt::le32(reader.bytes().data() + i * 1024);
            e.recordOffset = i * 1024;
            parser.entries.push_back(e);
        }
        parser.insertVolumeRoot();
        parser.buildTree();
    }
    std::vector<std::string> children(ItemData folder) {
        std::vector<std::string> names;
        parser.forEachChild(folder, [&](ItemData c) {
            names.push_back(parser.entryName(c));
            return true;
        });
        return names;
    }
    std::vector<std::string> firstLevel() {
        std::vector<std::string> names;
        for (TreeItem c = tree.firstChild(parser.volumeRootItem); c; c = tree.nextSibling(c))
            names.push_back(tree.itemText(c));
        return names;
    }
    TreeItem firstLevelItem(const std::string& name) {
        for (TreeItem c = tree.firstChild(parser.volumeRootItem); c; c = tree.nextSibling(c))
            if (tree.itemText(c) == name) return c;
        return kNoItem;
    }

    MemoryReader reader;
    ntfs parser;
    MemoryTree tree;
    NullSink sink;
    std::size_t records = 0;
};

std::vector<std::uint8_t> file(std::int64_t parent, const std::u16string& name,
                               std::uint16_t flags = 1) {
    return RecordBuilder(flags).standardInformation(1, 2, 3).fileName(parent, name).finish();
}
std::vector<std::uint8_t> folder(std::int64_t parent, const std::u16string& name,
                                 std::uint16_t flags = 3) {
    return RecordBuilder(flags).standardInformation(1, 2, 3).fileName(parent, name, true).finish();
}

// The layout most tests share.
void standardLayout(SyntheticVolume& v) {
    v.setRecord(0, file(5, u"$MFT"));
    v.setRecord(5, folder(5, u"."));
    v.setRecord(6, folder(5, u"docs"));
    v.setRecord(7, file(6, u"a.txt"));
    v.setRecord(8, RecordBuilder(1)
                       .fileName(6, u"B~1.TXT", false, ntfsfmt::kDosNamespace)
                       .fileName(6, u"b-long.txt")
                       .finish());
    v.setRecord(9, file(999, u"lost.txt"));
    v.setRecord(10, file(7, u"under-a-file.txt"));
    v.setRecord(11, file(5, u"gone.txt", 0));
    v.setRecord(12, file(13, u"later.txt"));
    v.setRecord(13, folder(5, u"late-dir"));
    v.setRecord(14, file(6, u"deleted-in-docs.txt", 0));
}

}  // namespace

TEST(NtfsTree, LinksEntriesUnderTheirFoldersAndTheRestUnderTheOrphanNode) {
    SyntheticVolume v;
    standardLayout(v);
    v.build();
    EXPECT_EQ(v.parser.rootIndex, 5);
    ASSERT_EQ(v.parser.orphanIndex, static_cast<std::int64_t>(v.records));
    // The root's own record is not its child; entry 0 is never a child; orphans last.
    EXPECT_EQ(v.children(5),
              (std::vector<std::string>{"docs", "gone.txt", "late-dir", "ORPHAN_ENTRY"}));
    // Two names of one record: listed once, under the long name.
    EXPECT_EQ(v.children(6),
              (std::vector<std::string>{"a.txt", "b-long.txt", "deleted-in-docs.txt"}));
    // A parent decoded after its child still holds it.
    EXPECT_EQ(v.children(13), (std::vector<std::string>{"later.txt"}));
    // Out of range, and a parent that is a file: newest first under the orphan node.
    EXPECT_EQ(v.children(v.parser.orphanIndex),
              (std::vector<std::string>{"under-a-file.txt", "lost.txt"}));
    EXPECT_TRUE(v.parser.isFolder(v.parser.orphanIndex));
    EXPECT_FALSE(v.parser.isDeleted(v.parser.orphanIndex, 5));
    EXPECT_TRUE(v.parser.isDeleted(11, 5));
    EXPECT_FALSE(v.parser.isEntry(1));  // no "FILE" signature
    EXPECT_FALSE(v.parser.isEntry(-1));
    EXPECT_FALSE(v.parser.isEntry(1000));
}

TEST(NtfsTree, DeletedEntriesLookDeletedAtFirstLevelAndHoweverAFolderIsOpened) {
    SyntheticVolume v;
    standardLayout(v);
    v.build();
    EXPECT_EQ(v.tree.itemText(v.parser.volumeRootItem), "ROOT");
    EXPECT_EQ(v.firstLevel(),
              (std::vector<std::string>{"docs", "gone.txt", "late-dir", "ORPHAN_ENTRY"}));
    EXPECT_EQ(v.tree.itemColour(v.firstLevelItem("gone.txt")), kDeletedColour);
    EXPECT_EQ(v.tree.itemColour(v.firstLevelItem("docs")), kDefaultColour);
    EXPECT_TRUE(v.tree.isExpanded(v.parser.volumeRootItem));

    auto colourOf = [&](TreeItem folderItem, const std::string& name) {
        for (TreeItem c = v.tree.firstChild(folderItem); c; c = v.tree.nextSibling(c))
            if (v.tree.itemText(c) == name) return v.tree.itemColour(c);
        return std::uint32_t{1};
    };
    // Opened in any way, a folder's deleted entries look deleted (each time in a new item).
    for (FillReason reason :
         {FillReason::Expansion, FillReason::Selection, FillReason::DoubleClick}) {
        TreeItem again = v.tree.insertEntry("docs", IconKind::Folder, kNoItem, 6, false);
        v.tree.insertItem(kPlaceholderText, IconKind::Placeholder, again);
        ASSERT_TRUE(v.parser.fillFolder(again, reason));
        EXPECT_EQ(colourOf(again, "deleted-in-docs.txt"), kDeletedColour);
        EXPECT_EQ(colourOf(again, "a.txt"), kDefaultColour);
    }
    TreeItem again = v.tree.insertEntry("docs", IconKind::Folder, kNoItem, 6, false);
    v.tree.insertItem(kPlaceholderText, IconKind::Placeholder, again);
    ASSERT_TRUE(v.parser.fillFolder(again, FillReason::Expansion));
    EXPECT_FALSE(v.parser.fillFolder(again, FillReason::Selection));
}

TEST(NtfsTree, WithoutARootTheOrphanNodeHoldsWhatWasFound) {
    SyntheticVolume v;
    v.setRecord(0, file(5, u"$MFT"));
    v.setRecord(3, file(0, u"x.txt"));
    v.build();
    EXPECT_EQ(v.parser.rootIndex, static_cast<std::int64_t>(v.parser.entries.size()));
    EXPECT_EQ(v.firstLevel(), (std::vector<std::string>{"ORPHAN_ENTRY"}));
    EXPECT_EQ(v.children(v.parser.orphanIndex), (std::vector<std::string>{"x.txt"}));

    // Stopped before the records were decoded: nothing but the top item.
    SyntheticVolume stopped;
    standardLayout(stopped);
    stopped.parser.stopRequested.request();
    stopped.build();
    EXPECT_TRUE(stopped.firstLevel().empty());
    EXPECT_EQ(stopped.tree.itemText(stopped.parser.volumeRootItem), "ROOT");
}

TEST(NtfsTree, ChildWalksEndOnLoopsAndAtTheFirstNamelessChild) {
    SyntheticVolume v;
    standardLayout(v);
    v.build();
    auto& e = v.parser.entries;
    // docs: a.txt -> b-long.txt -> a.txt -> ...
    e[8].nextSibling = 7;
    std::size_t visits = 0;
    v.parser.forEachChild(6, [&](ItemData) { return ++visits < 1000000; });
    EXPECT_LE(visits, e.size());
    // A child without a name ends the list there.
    e[8].nextSibling = -1;
    e[7].hasName = false;
    EXPECT_TRUE(v.children(6).empty());
    // Linking twice changes nothing.
    e[7].hasName = true;
    v.parser.linkChild(8);
    v.parser.linkChild(8);
    EXPECT_EQ(v.children(6), (std::vector<std::string>{"a.txt", "b-long.txt"}));
}

TEST(NtfsTree, DamagedRecordsNeitherCrashNorHang) {
    SyntheticVolume v;
    standardLayout(v);
    std::mt19937 rng(3);
    for (std::size_t i = 15; i < 60; ++i) {
        auto rec = file(static_cast<std::int64_t>(rng() % 70), u"junk",
                        static_cast<std::uint16_t>(rng() % 4));
        // Damage the attribute area: lengths, offsets, name lengths, run lists.
        for (int k = 0; k < 40; ++k)
            rec[0x38 + rng() % (1024 - 0x38)] = static_cast<std::uint8_t>(rng());
        if (i % 3 == 0) ntfsfmt::le16(rec.data());  // keep some intact
        if (i % 5 == 0) put32(rec, 0x38, 0x80);     // an attribute claiming to be $DATA
        if (i % 7 == 0) rec[0x38 + 8] = 1;          // non-resident
        v.setRecord(i, rec);
    }
    v.build();
    TempDir out;
    std::size_t listed = 0;
    std::function<void(ItemData, int)> walk = [&](ItemData f, int depth) {
        v.parser.forEachChild(f, [&](ItemData c) {
            ++listed;
            v.parser.entryColumns(c);
            v.parser.entrySize(c);
            if (v.parser.isFolder(c) && depth < 64)
                walk(c, depth + 1);
            else
                v.parser.extractEntry(out.file("x" + std::to_string(listed)), c);
            return listed < 100000;
        });
    };
    walk(5, 0);
    EXPECT_GE(listed, 8u);
    EXPECT_LT(listed, 100000u);
}

TEST(NtfsExtraction, ResidentDataComesFromTheFixedUpRecord) {
    SyntheticVolume v;
    standardLayout(v);
    RecordBuilder b(1);
    b.standardInformation(0, 132539328000000000ull /* 2021-01-01 */, 132539328000000000ull);
    b.fileName(5, u"tail.txt");
    // The value covers bytes 510 and 511 of the record.
    std::vector<std::uint8_t> value(600);
    for (std::size_t i = 0; i < value.size(); ++i)
        value[i] = static_cast<std::uint8_t>('A' + i % 26);
    b.resident(ntfsfmt::kData, value);
    v.setRecord(15, b.finish(0x5151));
    v.build();
    TempDir out;
    ASSERT_TRUE(v.parser.extractEntry(out.file("tail.txt"), 15));
    std::string got = readFile(out.file("tail.txt"));
    EXPECT_EQ(got, std::string(value.begin(), value.end()));
    struct stat st {};
    ASSERT_EQ(::stat(out.file("tail.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1609459200);
    EXPECT_EQ(v.parser.entrySize(15), 600u);
    // A destination that cannot be created.
    EXPECT_FALSE(v.parser.extractEntry(out.file("no-such-folder/tail.txt"), 15));
}

TEST(NtfsExtraction, SparseRunsGiveZerosAndDataEndsAtTheRealSize) {
    SyntheticVolume v;
    standardLayout(v);
    // Two sparse clusters, then clusters 20 and 21; 3.5 clusters of data.
    v.setRecord(15,
                RecordBuilder(1)
                    .fileName(5, u"holes.bin")
                    .nonResident(ntfsfmt::kData, {0x01, 0x02, 0x11, 0x02, 0x14}, 3, 3 * 4096 + 2048)
                    .finish());
    std::string data(8192, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 23);
    v.setCluster(20, data);
    // Clusters far past the end of the volume.
    v.setRecord(16, RecordBuilder(1)
                        .fileName(5, u"beyond.bin")
                        .nonResident(ntfsfmt::kData, {0x11, 0x01, 0x7F}, 0, 4096)
                        .finish());
    v.setRecord(17, RecordBuilder(1)
                        .fileName(5, u"far.bin")
                        .nonResident(ntfsfmt::kData, {0x41, 0x01, 0x00, 0x00, 0x00, 0x10}, 0, 4096)
                        .finish());
    v.build();
    TempDir out;
    ASSERT_TRUE(v.parser.extractEntry(out.file("holes.bin"), 15));
    std::string got = readFile(out.file("holes.bin"));
    ASSERT_EQ(got.size(), 3u * 4096 + 2048);
    EXPECT_EQ(got.substr(0, 8192), std::string(8192, '\0'));
    EXPECT_EQ(got.substr(8192), data.substr(0, 4096 + 2048));
    EXPECT_FALSE(v.parser.extractEntry(out.file("beyond.bin"), 16));
    EXPECT_FALSE(v.parser.extractEntry(out.file("far.bin"), 17));
    EXPECT_EQ(readFile(out.file("far.bin")).size(), 4096u);
    EXPECT_EQ(kDataArea, 16 * kCluster);
}

TEST(NtfsSaving, SkipsTheBadClusterFileAndDoesNotEnterTheRoot) {
    SyntheticVolume v;
    standardLayout(v);
    v.setRecord(15, RecordBuilder(1).fileName(5, u"$BadClus").finish());
    v.build();
    EXPECT_TRUE(v.parser.skipOnSave(15));
    EXPECT_FALSE(v.parser.skipOnSave(7));
    EXPECT_FALSE(v.parser.enterOnSave(5));
    EXPECT_TRUE(v.parser.enterOnSave(6));
    // Size while saving: the allocated size from $FILE_NAME in KiB.
    EXPECT_EQ(v.parser.saveSizeKiB(7), 8);
}

TEST(NtfsSaving, ForgedSizesAreBoundedByTheVolumeAndAskedFor) {
    SyntheticVolume v;
    standardLayout(v);
    // From cluster 20, 2^28 clusters (1 TiB) where the volume has 64.
    v.setRecord(15, RecordBuilder(1)
                        .fileName(5, u"forged.bin")
                        .nonResident(ntfsfmt::kData, {0x14, 0, 0, 0, 0x10, 0x14}, (1u << 28) - 1,
                                     std::uint64_t{1} << 40)
                        .finish());
    // 1 TiB of holes.
    v.setRecord(16, RecordBuilder(1)
                        .fileName(5, u"holes.bin")
                        .nonResident(ntfsfmt::kData, {0x04, 0, 0, 0, 0x10}, (1u << 28) - 1,
                                     std::uint64_t{1} << 40)
                        .finish());
    const std::string data(44 * kCluster, 'd');
    v.setCluster(20, data);
    v.build();
    v.parser.volumeSize = 256 * 1024;

    TempDir out;
    StopFlag stop;
    FolderSaver saver(v.parser, v.sink, stop);
    std::vector<std::string> asked;
    saver.confirmLargeFile = [&](const std::string& path, std::uint64_t size, std::int64_t) {
        asked.push_back(path);
        EXPECT_EQ(size, std::uint64_t{1} << 40);
        return path == out.file("forged.bin");
    };
    std::map<std::string, SaveRecord> saved;
    saver.onFileDone = [&](const SaveRecord& f) { saved[f.originalPath] = f; };
    saver.saveFile(15, out.path());
    saver.saveFile(16, out.path());
    EXPECT_EQ(asked, (std::vector<std::string>{out.file("forged.bin"), out.file("holes.bin")}));

    // What lies in the volume is saved; the rest is reported, never written.
    const SaveRecord& forged = saved["forged.bin"];
    EXPECT_EQ(forged.status, SaveStatus::Incomplete);
    EXPECT_EQ(readFile(out.file("forged.bin.incomplete")), data);
    ASSERT_EQ(forged.damage.size(), 1u);
    EXPECT_EQ(forged.damage[0].kind, DamagedRange::Kind::OutsideVolume);
    EXPECT_EQ(forged.damage[0].fileOffset, data.size());
    EXPECT_EQ(forged.damage[0].length, (std::uint64_t{1} << 40) - data.size());
    EXPECT_EQ(saved["holes.bin"].status, SaveStatus::Failed);
    EXPECT_FALSE(fs::exists(out.file("holes.bin")));
}
