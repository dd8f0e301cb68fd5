#include <gtest/gtest.h>

#include <cstring>
#include <mutex>

#include "DiskBuilder.h"
#include "fs/ext/ExtProbe.h"
#include "partition/FileSystemProbe.h"
#include "partition/Partition.h"

using namespace vel;
using namespace vel::test;

namespace {

struct RecordingSink final : ScanSink {
    void setProgressRange(std::int64_t maximum) override { ranges.push_back(maximum); }
    void setProgressPosition(std::int64_t position) override { positions.push_back(position); }
    void setStatusText(const std::string& text) override {
        statuses.push_back(text);
        if (onStatus) onStatus(text);
    }
    std::vector<std::int64_t> ranges, positions;
    std::vector<std::string> statuses;
    std::function<void(const std::string&)> onStatus;
};

struct RecordingOwner final : PartitionOwner {
    void volumeFound(const VolumeDescriptor& v) override { found.push_back(v); }
    void setFilterEnabled(bool enabled) override { filter.push_back(enabled); }
    std::vector<VolumeDescriptor> found;
    std::vector<bool> filter;
};

void mbrEntry(SparseDisk& disk, std::int64_t tableSector, int slot, unsigned type,
              std::uint32_t first, std::uint32_t count) {
    auto& s = disk.sector(tableSector);
    std::size_t e = 446 + 16 * static_cast<std::size_t>(slot);
    s[e + 4] = static_cast<unsigned char>(type);
    putLe32(s, e + 8, first);
    putLe32(s, e + 12, count);
    s[510] = 0x55, s[511] = 0xAA;
}

using Row = std::tuple<std::string, std::string, std::int64_t>;
std::vector<Row> rows(const std::vector<VolumeDescriptor>& v) {
    std::vector<Row> out;
    for (const auto& d : v) out.emplace_back(d.fileSystem, d.sizeText, d.startSector);
    return out;
}

}  // namespace

// ---- MBR and extended boot records

TEST(MbrWalk, LogicalPartitionsSitAtExtendedStartPlusLinkPlusOwnStart) {
    SparseDisk disk(400000);
    mbrEntry(disk, 0, 0, 0x07, 2048, 20480);
    mbrEntry(disk, 0, 1, 0x0F, 100000, 200000);
    // First record at the extended start itself (link offset 0).
    mbrEntry(disk, 100000, 0, 0x83, 63, 4096);
    mbrEntry(disk, 100000, 1, 0x05, 50000, 10000);
    mbrEntry(disk, 150000, 0, 0x0B, 2048, 8192);
    mbrEntry(disk, 150000, 1, 0x05, 70000, 10000);
    mbrEntry(disk, 170000, 0, 0x06, 100, 6144);
    Partition p;
    EXPECT_EQ(p.walkPartitionTables(disk), 0);
    EXPECT_EQ(rows(p.volumes), (std::vector<Row>{{"NTFS", "10   MB", 2048},
                                                 {"extX", "2   MB", 100063},
                                                 {"FAT32", "4   MB", 152048},
                                                 {"FAT16", "3   MB", 170100}}));
    for (std::size_t i = 0; i < p.volumes.size(); ++i)
        EXPECT_EQ(p.volumes[i].devicePath, std::to_string(i));
}

TEST(MbrWalk, ExtendedFirstListsOnlyItsLogicalPartitions) {
    SparseDisk disk(100000);
    mbrEntry(disk, 0, 0, 0x05, 4096, 90000);
    mbrEntry(disk, 4096, 0, 0x07, 2048, 4096);
    Partition p;
    p.walkPartitionTables(disk);
    EXPECT_EQ(rows(p.volumes), (std::vector<Row>{{"NTFS", "2   MB", 6144}}));
}

TEST(MbrWalk, EmptySlotsDoNotHideLaterPartitions) {
    SparseDisk disk(300000);
    mbrEntry(disk, 0, 0, 0x07, 2048, 4096);
    mbrEntry(disk, 0, 2, 0x0C, 10000, 8192);
    // A record whose logical slot was emptied still links on.
    mbrEntry(disk, 0, 3, 0x05, 50000, 100000);
    mbrEntry(disk, 50000, 1, 0x05, 20000, 1000);
    mbrEntry(disk, 70000, 0, 0x83, 2048, 2048);
    Partition p;
    p.walkPartitionTables(disk);
    EXPECT_EQ(rows(p.volumes), (std::vector<Row>{{"NTFS", "2   MB", 2048},
                                                 {"FAT32", "4   MB", 10000},
                                                 {"extX", "1   MB", 72048}}));
}

TEST(MbrWalk, TypeTableNamesAndStatusTexts) {
    SparseDisk disk(200000);
    mbrEntry(disk, 0, 0, 0x07, 2048, 2048);  // NTFS
    mbrEntry(disk, 0, 1, 0x07, 8192, 4096);  // exFAT by its boot sector
    disk.put(8192, exfatBoot(4096));
    mbrEntry(disk, 0, 2, 0x42, 16384, 2048);  // NTFS on a dynamic disk
    mbrEntry(disk, 0, 3, 0x05, 40000, 100000);
    mbrEntry(disk, 40000, 0, 0x01, 10, 2048);
    mbrEntry(disk, 40000, 1, 0x05, 10000, 1);
    mbrEntry(disk, 50000, 0, 0x42, 10, 2048);  // not special in the chain
    mbrEntry(disk, 50000, 1, 0x05, 20000, 1);
    mbrEntry(disk, 60000, 0, 0x0E, 10, 2048);
    mbrEntry(disk, 60000, 1, 0x05, 30000, 1);
    mbrEntry(disk, 70000, 0, 0x07, 10, 2048);
    RecordingSink sink;
    Partition p;
    p.statusLine = &sink;
    p.walkPartitionTables(disk);
    EXPECT_EQ(rows(p.volumes), (std::vector<Row>{{"NTFS", "1   MB", 2048},
                                                 {"FAT64", "2   MB", 8192},
                                                 {"NTFS", "1   MB", 16384},
                                                 {"FAT12", "1   MB", 40010},
                                                 {"Unknown", "1   MB", 50010},
                                                 {"FAT16", "1   MB", 60010},
                                                 {"NTFS", "1   MB", 70010}}));
    // After exFAT the status line goes back to the latest NTFS count.
    EXPECT_EQ(sink.statuses, (std::vector<std::string>{
                                 "found NTFS 1...", "found FAT64...", "found NTFS 1...", "NTFS...",
                                 "found UNKNOWN...", "found FAT 16...", "found NTFS..."}));
}

TEST(MbrWalk, UnknownTypeHoldingExtIsListedAsExt) {
    SparseDisk disk(100000);
    mbrEntry(disk, 0, 0, 0x8E, 2048, 8192);  // an LVM type over a bare ext4
    disk.put(2048 + 2, extSuper(1024));
    mbrEntry(disk, 0, 1, 0xEE, 1, 99999);
    Partition p;
    p.walkPartitionTables(disk);
    EXPECT_EQ(rows(p.volumes),
              (std::vector<Row>{{"extX", "4   MB", 2048}, {"Unknown", "48   MB", 1}}));
}

TEST(MbrWalk, ChainThatLoopsEndsAfterFiftyRecords) {
    SparseDisk disk(100000);
    mbrEntry(disk, 0, 0, 0x05, 4096, 90000);
    mbrEntry(disk, 4096, 0, 0x0C, 100, 2048);
    mbrEntry(disk, 4096, 1, 0x05, 0, 1);  // links to itself
    Partition p;
    EXPECT_EQ(p.walkPartitionTables(disk), 0);
    EXPECT_EQ(p.volumes.size(), 50u);
}

TEST(MbrWalk, ReadFailureKeepsWhatWasFound) {
    SparseDisk disk(10000);
    mbrEntry(disk, 0, 0, 0x0C, 2048, 2048);
    mbrEntry(disk, 0, 1, 0x05, 5000, 1000);
    disk.source.failSector(5000);  // the extended boot record
    Partition p;
    EXPECT_NE(p.walkPartitionTables(disk), 0);
    EXPECT_EQ(rows(p.volumes), (std::vector<Row>{{"FAT32", "1   MB", 2048}}));
}

// ---- GPT

namespace {
void gptHeader(SparseDisk& disk, std::uint64_t arrayLba, std::uint32_t count, std::uint32_t size) {
    auto& h = disk.sector(1);
    std::memcpy(h.data(), "EFI PART", 8);
    putLe64(h, 72, arrayLba);
    putLe32(h, 80, count);
    putLe32(h, 84, size);
}
void gptEntry(SparseDisk& disk, std::uint64_t arrayLba, std::uint32_t entrySize, int index,
              std::uint8_t typeByte, std::uint64_t first, std::uint64_t last,
              const std::u16string& name) {
    std::vector<unsigned char> e(entrySize, 0);
    for (int i = 0; i < 16; ++i) e[i] = static_cast<unsigned char>(typeByte + i);
    putLe64(e, 32, first);
    putLe64(e, 40, last);
    for (std::size_t i = 0; i < name.size() && i < 36; ++i) putLe16(e, 56 + 2 * i, name[i]);
    std::int64_t byte = static_cast<std::int64_t>(arrayLba) * 512 + index * entrySize;
    for (std::size_t i = 0; i < e.size(); ++i)
        disk.sector((byte + static_cast<std::int64_t>(i)) / 512)[(byte + i) % 512] = e[i];
}
}  // namespace

TEST(GptWalk, ArrayAtFullLbaWithHeaderCountAndSize) {
    SparseDisk disk(300000);
    mbrEntry(disk, 0, 0, 0xEE, 1, 299999);
    // The array lies at LBA 258; LBA 2 holds an entry that must not be used.
    gptHeader(disk, 258, 6, 256);
    gptEntry(disk, 2, 128, 0, 0x11, 100000, 110000, u"decoy");
    gptEntry(disk, 258, 256, 0, 0x28, 2048, 71679, u"EFI system partition");
    disk.put(2048, fatBoot(true, 69632, "mkfs.fat", 536));
    gptEntry(disk, 258, 256, 1, 0xE3, 71680, 73727, u"Microsoft reserved partition");
    // An unused slot between used ones.
    gptEntry(disk, 258, 256, 3, 0xA2, 73728, 94207, u"Basic data partition");
    disk.put(73728, ntfsBoot(20479));
    gptEntry(disk, 258, 256, 4, 0xAF, 94208, 110591, u"Linux filesystem");
    disk.put(94208 + 2, extSuper(2048));
    gptEntry(disk, 258, 256, 5, 0x30, 110592, 126975, u"blank space");
    Partition p;
    p.gptMode = true;
    EXPECT_EQ(p.walkPartitionTables(disk), 0);
    EXPECT_EQ(rows(p.volumes), (std::vector<Row>{{"FAT32", "34  MB", 2048},
                                                 {"NTFS", "9   MB", 73728},
                                                 {"extX", "8  MB", 94208},
                                                 {"blank space", "7", 110592}}));
}

TEST(GptWalk, TheProtectiveEntryLeadsToTheGptWithoutTheBox) {
    SparseDisk disk(300000);
    mbrEntry(disk, 0, 0, 0xEE, 1, 299999);
    gptHeader(disk, 2, 128, 128);
    gptEntry(disk, 2, 128, 0, 0xA2, 2048, 40959, u"Basic data partition");
    disk.put(2048, ntfsBoot(38911));
    Partition p;
    p.walkPartitionTables(disk);
    EXPECT_EQ(rows(p.volumes), (std::vector<Row>{{"NTFS", "18   MB", 2048}}));
}

TEST(GptWalk, ContentDecidesOverNamesAndZeroSizesAreNotListed) {
    SparseDisk disk(300000);
    gptHeader(disk, 2, 128, 128);
    gptEntry(disk, 2, 128, 0, 0x28, 2048, 6143, u"ESP");
    disk.put(2048, fatBoot(false, 4096, "BSD  4.4", 8));
    gptEntry(disk, 2, 128, 1, 0xA2, 8192, 16383, u"ntfs with no size");
    disk.put(8192, ntfsBoot(100));  // under 1 MiB
    gptEntry(disk, 2, 128, 2, 0xA2, 16384, 24575, u"exfat");
    disk.put(16384, exfatBoot(8192));
    gptEntry(disk, 2, 128, 3, 0x48, 24576, 40959, u"Apple HFS");
    disk.put(24576 + 2, hfsHeader(4096, 2048));
    gptEntry(disk, 2, 128, 4, 0x01, 1, 100, u"overlaps the header");
    gptEntry(disk, 2, 128, 5, 0xA2, 49152, 57343, u"ntfs, 4096-byte sectors");
    auto odd = ntfsBoot(8192);
    putLe16(odd, 11, 4096);
    disk.put(49152, odd);
    RecordingSink sink;
    Partition p;
    p.gptMode = true;
    p.statusLine = &sink;
    p.walkPartitionTables(disk);
    EXPECT_EQ(rows(p.volumes), (std::vector<Row>{{"FAT16", "2  MB", 2048},
                                                 {"FAT64", "4  MB", 16384},
                                                 {"HFS+", "7", 24576},
                                                 {"NTFS", "32   MB", 49152}}));
    // A 4096-byte-sector NTFS is NTFS too.
    EXPECT_EQ(sink.statuses,
              (std::vector<std::string>{"found FAT 16...", "found FAT 64...", "found NTFS 1..."}));
}

// ---- File-system decisions

namespace {
// What the table's probes make of a boot sector alone.
VolumeStart fatBootSector(const unsigned char* sector) {
    std::vector<std::uint8_t> first(1536, 0);
    std::memcpy(first.data(), sector, 512);
    return FileSystemTable::builtin().probe(first.data());
}
}  // namespace

TEST(BootSectors, FatIsDecidedByItsParameterBlockNotItsOemName) {
    for (const char* oem : {"MSDOS5.0", "mkfs.fat", "BSD  4.4", "NO NAME "}) {
        EXPECT_EQ(fatBootSector(fatBoot(true, 100000, oem).data()).fileSystem, "FAT32") << oem;
        VolumeStart f16 = fatBootSector(fatBoot(false, 40000, oem, 40).data());
        EXPECT_EQ(f16.fileSystem, "FAT16") << oem;
        EXPECT_EQ(f16.sizeBytes, 40000 * 512);
    }
    struct Fault {
        const char* what;
        std::size_t at;
        unsigned value;
    };
    for (Fault f :
         {Fault{"no signature", 510, 0}, Fault{"bytes per sector 768", 12, 3},
          Fault{"bytes per sector 256", 12, 1}, Fault{"3 sectors per cluster", 13, 3},
          Fault{"no reserved sectors", 14, 0}, Fault{"three FATs", 16, 3}, Fault{"no FATs", 16, 0},
          Fault{"media byte", 21, 0x12}, Fault{"jump", 0, 0x00}}) {
        auto b = fatBoot(false, 40000, "MSDOS5.0", 40);
        b[f.at] = static_cast<unsigned char>(f.value);
        if (f.at == 14) b[15] = 0;
        EXPECT_EQ(fatBootSector(b.data()).fileSystem, "") << f.what;
    }
    auto tables = fatBoot(false, 100, "MSDOS5.0", 60);  // the FATs alone exceed the volume
    EXPECT_EQ(fatBootSector(tables.data()).fileSystem, "");
    auto fat32 = fatBoot(true, 100000);
    putLe32(fat32, 36, 0);
    EXPECT_EQ(fatBootSector(fat32.data()).fileSystem, "");
}

TEST(BootSectors, ExtSuperblockNeedsASaneBlockSize) {
    VolumeStart e = extSuperblock(extSuper(4096, 2).data(), true);
    EXPECT_EQ(e.fileSystem, "extX");
    EXPECT_EQ(e.sizeBytes, 4096ll * 4096);
    EXPECT_EQ(extSuperblock(extSuper(4096, 0).data(), true).sizeBytes, 4096ll * 1024);
    EXPECT_EQ(extSuperblock(extSuper(4096, 7).data(), true).fileSystem, "");
    EXPECT_EQ(extSuperblock(extSuper(4096, 2, 3).data(), true).fileSystem, "");
    EXPECT_EQ(extSuperblock(extSuper(4096, 2, 3).data(), false).fileSystem, "extX");
    auto wrongFirst = extSuper(4096, 0);
    putLe32(wrongFirst, 20, 0);  // 1 KiB blocks put the superblock in block 1
    EXPECT_EQ(extSuperblock(wrongFirst.data(), true).fileSystem, "");
    auto big = extSuper(1, 2);
    putLe32(big, 96, 0x80);
    putLe32(big, 0x150, 1);  // 64-bit block count
    EXPECT_EQ(extSuperblock(big.data(), true).sizeBytes, ((1ll << 32) + 1) * 4096);
}

TEST(BootSectors, ProbesReadTheirOwnSectors) {
    SparseDisk disk(100);
    disk.put(10, exfatBoot(50));
    disk.put(22, hfsHeader(4096, 4));
    disk.put(40, ntfsBoot(50));
    disk.put(62, extSuper(10));
    EXPECT_TRUE(isExfatBootSector(disk, 10));
    EXPECT_FALSE(isExfatBootSector(disk, 11));
    EXPECT_FALSE(isExfatBootSector(disk, 200));
    EXPECT_TRUE(isHfsPlusHeader(disk, 20));
    EXPECT_FALSE(isHfsPlusHeader(disk, 22));
    EXPECT_EQ(probeFileSystem(disk, 10), "FAT64");
    EXPECT_EQ(probeFileSystem(disk, 20), "HFS+");
    EXPECT_EQ(probeFileSystem(disk, 40), "NTFS");
    EXPECT_EQ(probeFileSystem(disk, 60), "extX");
    EXPECT_EQ(probeFileSystem(disk, 0), "");
}

// ---- Sector scan

namespace {
struct Scan : ::testing::Test {
    RecordingSink sink;
    RecordingOwner owner;
    Partition p;
    void SetUp() override {
        p.statusLine = &sink;
        p.owner = &owner;
    }
    int run(SparseDisk& disk) {
        p.totalSectors = disk.sectors();
        return p.scanForVolumes(disk);
    }
};
}  // namespace

TEST_F(Scan, VolumesBackToBackAreAllFoundAndSkippedWhole) {
    SparseDisk disk(60000);
    disk.put(2048, ntfsBoot(20479));             // occupies 2048..22527 with its backup
    disk.put(2048 + 100, fatBoot(true, 70000));  // inside the NTFS volume: never examined
    disk.put(22528, fatBoot(true, 20000));       // right after it
    disk.put(42528, exfatBoot(8192));
    disk.put(50720 + 2, extSuper(2048));  // ext volume at 50720, 8 MiB
    EXPECT_EQ(run(disk), 1);
    EXPECT_EQ(rows(p.volumes), (std::vector<Row>{{"NTFS", "9   MB", 2048},
                                                 {"FAT32", "9  MB", 22528},
                                                 {"FAT64", "4  MB", 42528},
                                                 {"extX", "8  MB", 50720}}));
    ASSERT_EQ(owner.found.size(), 4u);
    EXPECT_EQ(owner.found[3].devicePath, "3");
    EXPECT_EQ(owner.found[3].startSector, 50720);
    EXPECT_EQ(owner.filter, (std::vector<bool>{false, true}));
    EXPECT_EQ(sink.statuses.front(), "Scanning partition.....");
    EXPECT_EQ(sink.ranges, (std::vector<std::int64_t>{1000}));
    ASSERT_FALSE(sink.positions.empty());
    EXPECT_EQ(sink.positions.back(), 1000);
    for (std::size_t i = 1; i < sink.positions.size(); ++i)
        EXPECT_GE(sink.positions[i], sink.positions[i - 1]);
    // The skip moved the blocks off the MiB grid (the short reads look at a hit's neighbours).
    std::vector<std::int64_t> blocks;
    for (const auto& [offset, bytes] : disk.reads)
        if (bytes > 512) blocks.push_back(offset);
    ASSERT_GE(blocks.size(), 3u);
    EXPECT_EQ(blocks[2], 22528ll * 512);
}

TEST_F(Scan, DoNotSkipListsAnNtfsVolumeOnceForBothItsBootSectors) {
    SparseDisk disk(30000);
    disk.put(2048, ntfsBoot(20479));
    disk.put(2048 + 20479, ntfsBoot(20479));
    for (bool skip : {false, true}) {
        p.skipVolumeExtent = skip;
        run(disk);
        EXPECT_EQ(rows(p.volumes), (std::vector<Row>{{"NTFS", "9   MB", 2048}})) << skip;
        EXPECT_EQ(sink.statuses.back(), "found NTFS 1...");
    }
}

TEST_F(Scan, CustomRangeOfOneBlock) {
    SparseDisk disk(1100000);
    disk.put(999999, fatBoot(true, 4096));          // before the range
    disk.put(1000000 + 2047, fatBoot(true, 4096));  // last sector of the one block
    disk.put(1002048, fatBoot(true, 4096));         // first sector of the next block
    p.customStartSector = 1000000;
    p.customEndSector = 1000100;
    p.skipVolumeExtent = false;
    run(disk);
    EXPECT_EQ(rows(p.volumes), (std::vector<Row>{{"FAT32", "2  MB", 1002047}}));
    ASSERT_EQ(disk.reads.size(), 1u);
    EXPECT_EQ(disk.reads[0], std::make_pair(std::int64_t{1000000} * 512, std::size_t{1} << 20));
}

TEST_F(Scan, StartAtOrPastTheEndReadsNothing) {
    SparseDisk disk(4096);
    p.customStartSector = 4096;
    EXPECT_EQ(run(disk), 1);
    EXPECT_TRUE(disk.reads.empty());
    SparseDisk none(0);
    p.customStartSector = 0;
    EXPECT_EQ(run(none), 1);
    EXPECT_TRUE(none.reads.empty());
    EXPECT_EQ(owner.filter.back(), true);
}

TEST_F(Scan, ShortLastBlockIsExaminedWithoutReadingPastTheEnd) {
    // 2048 + 600 sectors; a truncated FAT16 volume starts in the last 600.
    SparseDisk disk(2648);
    disk.put(2048 + 590, fatBoot(false, 8192, "MSDOS5.0", 16));
    EXPECT_EQ(run(disk), 1);
    EXPECT_EQ(rows(p.volumes), (std::vector<Row>{{"FAT16", "4  MB", 2638}}));
    ASSERT_EQ(disk.reads.size(), 2u);
    EXPECT_EQ(disk.reads[1], std::make_pair(std::int64_t{2048} * 512, std::size_t{600} * 512));
}

TEST_F(Scan, HfsPlusStartsTwoSectorsBeforeItsHeaderAndHugeOnesAreSkippedUnlisted) {
    SparseDisk disk(40000);
    disk.put(1, hfsHeader(4096, 100));                // would start before sector 0
    disk.put(2048 + 2, hfsHeader(4096, 2048));        // 8 MiB volume at 2048
    disk.put(2048 + 16384, fatBoot(true, 4096));      // right after it
    disk.put(24576 + 2, hfsHeader(65536, 1u << 29));  // 32 TiB: not listed
    disk.put(30000, fatBoot(true, 4096));             // inside the huge one
    run(disk);
    EXPECT_EQ(rows(p.volumes),
              (std::vector<Row>{{"HFS+", "8  MB", 2048}, {"FAT32", "2  MB", 18432}}));
}

TEST_F(Scan, LostExtVolumeStartsTwoSectorsBeforeItsSuperblock) {
    SparseDisk disk(20000);
    disk.put(4096 + 2, extSuper(1024, 2));
    disk.put(4096 + 2 + 8192, extSuper(1024, 2, 1));  // a backup copy, never a volume
    p.skipVolumeExtent = false;
    run(disk);
    EXPECT_EQ(rows(p.volumes), (std::vector<Row>{{"extX", "4  MB", 4096}}));
    EXPECT_EQ(sink.statuses.back(), "found extX...");
}

TEST_F(Scan, StopKeepsTheRowsFoundSoFar) {
    SparseDisk disk(20000);
    disk.put(100, fatBoot(true, 4096));
    disk.put(8000, fatBoot(true, 4096));
    sink.onStatus = [&](const std::string& s) {
        if (s.rfind("found", 0) == 0) p.stopRequested.request();
    };
    EXPECT_EQ(run(disk), 1);
    EXPECT_EQ(rows(p.volumes), (std::vector<Row>{{"FAT32", "2  MB", 100}}));
    EXPECT_EQ(sink.statuses.back(), "Scanned Partitions");
    EXPECT_EQ(owner.filter.back(), true);
    // The next scan clears the flag again.
    sink.onStatus = nullptr;
    run(disk);
    EXPECT_EQ(p.volumes.size(), 2u);
}

TEST_F(Scan, UnreadableSectorsDoNotEndTheScan) {
    SparseDisk disk(10000);
    disk.put(10, fatBoot(true, 4096));
    disk.put(6000, fatBoot(true, 2048));
    disk.source.failSectors(5000, 8);
    EXPECT_EQ(run(disk), 1);
    EXPECT_EQ(rows(p.volumes),
              (std::vector<Row>{{"FAT32", "2  MB", 10}, {"FAT32", "1  MB", 6000}}));
    EXPECT_EQ(disk.badSectors().count(), 8);
    EXPECT_EQ(owner.filter.back(), true);
}

TEST_F(Scan, SizeFieldsThatOverflowDoNotWrapTheScan) {
    SparseDisk disk(10000);
    disk.put(10, ntfsBoot(~0ull));
    disk.put(100, exfatBoot(~0ull >> 1));
    disk.put(2048, fatBoot(true, 4096));
    EXPECT_EQ(run(disk), 1);
    EXPECT_EQ(rows(p.volumes), (std::vector<Row>{{"FAT32", "2  MB", 2048}}));
}
