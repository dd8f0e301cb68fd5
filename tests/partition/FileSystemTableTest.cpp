#include <gtest/gtest.h>

#include <cstring>

#include "DiskBuilder.h"
#include "fs/common/FileSystemTable.h"
#include "fs/exfat/Fat64Class.h"
#include "fs/fat/Fat16Class.h"
#include "fs/fat/Fat32Class.h"
#include "fs/ntfs/ntfs.h"
#include "partition/FileSystemProbe.h"
#include "partition/Partition.h"
#include "support/FakeParser.h"

using namespace vel;
using namespace vel::test;

namespace {

const FileSystemTable& table() {
    return FileSystemTable::builtin();
}

std::string rowOf(const char* name) {
    const FileSystemRow* r = table().find(name);
    return r ? r->name : "-";
}

void mbrEntry(SparseDisk& disk, int slot, unsigned type, std::uint32_t first, std::uint32_t count) {
    auto& s = disk.sector(0);
    std::size_t e = 446 + 16 * static_cast<std::size_t>(slot);
    s[e + 4] = static_cast<unsigned char>(type);
    putLe32(s, e + 8, first);
    putLe32(s, e + 12, count);
    s[510] = 0x55, s[511] = 0xAA;
}

}  // namespace

TEST(FileSystemTable, NamesAliasesAndParsers) {
    struct Case {
        const char* name;
        const char* row;
    } cases[] = {{"NTFS", "NTFS"},   {"ntfs", "NTFS"},   {"FAT32", "FAT32"}, {"fat32", "FAT32"},
                 {"FAT16", "FAT16"}, {"fat", "FAT16"},   {"FAT12", "FAT12"}, {"FAT64", "FAT64"},
                 {"exFAT", "FAT64"}, {"EXFAT", "FAT64"}, {"extX", "extX"},   {"ext4", "extX"},
                 {"HFS+", "HFS+"},   {"ntfs3", "-"},     {"exFAT2", "-"},    {"", "-"}};
    for (const Case& c : cases) EXPECT_EQ(rowOf(c.name), c.row) << c.name;

    auto make = [](const char* name) {
        return createParser(table(), VolumeDescriptor{name, "", "", "1", 0}, {});
    };
    EXPECT_NE(dynamic_cast<ntfs*>(make("ntfs").get()), nullptr);
    EXPECT_NE(dynamic_cast<Fat32Class*>(make("FAT32").get()), nullptr);
    EXPECT_NE(dynamic_cast<Fat16Class*>(make("FAT12").get()), nullptr);
    EXPECT_NE(dynamic_cast<Fat16Class*>(make("fat").get()), nullptr);
    EXPECT_NE(dynamic_cast<Fat64Class*>(make("exFAT").get()), nullptr);
    EXPECT_EQ(make("Unknown"), nullptr);
    // The options reach the parser as values.
    auto p = createParser(table(), VolumeDescriptor{"FAT32", "", "", "1", 0},
                          ParserOptions{.driveFormatted = true, .rootCaption = "TOP"});
    EXPECT_TRUE(p->options.driveFormatted);
    EXPECT_EQ(p->options.rootCaption, "TOP");
}

TEST(FileSystemTable, TypeBytesAndGuids) {
    std::uint8_t exfat[1536] = {};
    std::memcpy(exfat + 3, "EXFAT   ", 8);
    exfat[108] = 9;
    auto name = [](const FileSystemRow* r) { return r ? r->name : std::string("-"); };
    EXPECT_EQ(name(table().forMbrType(0x07, false, exfat)), "FAT64");
    EXPECT_EQ(name(table().forMbrType(0x07, false, nullptr)), "NTFS");
    EXPECT_EQ(name(table().forMbrType(0x42, false, nullptr)), "NTFS");
    EXPECT_EQ(name(table().forMbrType(0x42, true, nullptr)), "-");
    EXPECT_EQ(name(table().forMbrType(0x83, true, nullptr)), "extX");
    EXPECT_EQ(name(table().forMbrType(0x01, false, nullptr)), "FAT12");
    EXPECT_EQ(name(table().forMbrType(0x8E, false, nullptr)), "-");
    // Basic data holds three file systems, so it names none.
    EXPECT_EQ(name(table().forGptType(gptGuid(kBasicDataGuid).data())), "-");
    EXPECT_EQ(name(table().forGptType(gptGuid("0FC63DAF-8483-4772-8E79-3D69D8477DE4").data())),
              "extX");
    GptTypeGuid apple = gptGuid("48465300-0000-11AA-AA11-00306543ECAC");
    EXPECT_EQ(apple[0], 0x00);  // stored little-endian: 48465300 becomes 00 53 46 48
    EXPECT_EQ(apple[3], 0x48);
    EXPECT_EQ(name(table().forGptType(apple.data())), "HFS+");
}

// A file system nobody has heard of, added as one row: the walk, the probe, the lost-volume
// scan and the parser choice all know it without another line.
TEST(FileSystemTable, ANewFileSystemIsOneRow) {
    std::vector<FileSystemRow> rows = table().rows();
    FileSystemRow dummy;
    dummy.name = "DUMMYFS";
    dummy.mbrTypes = {{0xDA, "found dummy %d...", "found dummy..."}};
    dummy.foundStatus = "found dummy %d...";
    dummy.probe = [](const std::uint8_t* b, VolumeStart& out) {
        if (std::memcmp(b + 3, "DUMMYFS!", 8) != 0) return false;
        out.sizeBytes = static_cast<std::int64_t>(le32(b + 16)) * 512;
        return true;
    };
    dummy.sectorKeys = {{3, 'D'}};
    dummy.sectorTest = [probe = dummy.probe](const std::uint8_t* s, SectorHit& hit) {
        std::uint8_t first[1536] = {};
        std::memcpy(first, s, 512);
        VolumeStart v;
        if (!probe(first, v)) return false;
        hit.sizeBytes = v.sizeBytes;
        hit.extentSectors = v.sizeBytes / 512;
        return true;
    };
    dummy.create = [](const VolumeDescriptor&, const ParserOptions&) {
        return std::make_unique<FakeParser>();
    };
    rows.push_back(dummy);
    const FileSystemTable withDummy(rows);

    SparseDisk disk(20000);
    std::vector<unsigned char> boot(512, 0);
    std::memcpy(boot.data() + 3, "DUMMYFS!", 8);
    putLe32(boot, 16, 4096);
    disk.put(2048, boot);
    disk.put(10000, boot);
    mbrEntry(disk, 0, 0xDA, 2048, 4096);

    Partition walk;
    walk.table = &withDummy;
    walk.walkPartitionTables(disk);
    ASSERT_EQ(walk.volumes.size(), 1u);
    EXPECT_EQ(walk.volumes[0].fileSystem, "DUMMYFS");

    Partition scan;
    scan.table = &withDummy;
    scan.scanForVolumes(disk);
    ASSERT_EQ(scan.volumes.size(), 2u);
    EXPECT_EQ(scan.volumes[1].startSector, 10000);
    EXPECT_EQ(probeVolumeStart(disk, 2048, withDummy).fileSystem, "DUMMYFS");

    auto parser = createParser(withDummy, walk.volumes[0], {});
    EXPECT_NE(dynamic_cast<FakeParser*>(parser.get()), nullptr);
    // The built-in table knows none of it.
    EXPECT_EQ(createParser(table(), walk.volumes[0], {}), nullptr);
    EXPECT_EQ(probeFileSystem(disk, 2048), "");
}
