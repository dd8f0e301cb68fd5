// Where each file system's backup boot sector is looked for, and when a copy is believed.
#include <gtest/gtest.h>

#include <cstring>

#include "DiskBuilder.h"
#include "fs/exfat/Fat64Class.h"
#include "fs/fat/FatVolumeParser.h"
#include "fs/ntfs/ntfs.h"
#include "scan/MemoryTree.h"
#include "support/Fixtures.h"

using namespace vel;
using namespace vel::test;

TEST(BackupBoot, Fat32CopyMustNameItsOwnSectorInsideTheReservedArea) {
    auto copy = [](std::uint32_t bytesPerSector, std::uint32_t field) {
        auto b = fatBoot(true, 40000);
        putLe16(b, 11, bytesPerSector);
        putLe16(b, 50, field);
        return b;
    };
    struct Case {
        const char* what;
        std::int64_t at;  // byte offset of the copy
        std::vector<unsigned char> sector;
        bool found;
    } cases[] = {
        {"at 6 of 4096-byte sectors", 6 * 4096, copy(4096, 6), true},
        {"at 6 but naming sector 7", 6 * 512, copy(512, 7), false},
        {"at 40, past the reserved sectors", 40 * 512, copy(512, 40), false},
    };
    for (const Case& c : cases) {
        SparseDisk disk(1000);
        putLe16(disk.sector(0), 50, 40);  // what the damaged first sector still names
        disk.source.put(c.at, c.sector.data(), c.sector.size());
        std::uint8_t out[512];
        EXPECT_EQ(fat32BackupBootSector(disk, out), c.found ? c.at : -1) << c.what;
    }
}

TEST(BackupBoot, ExfatRegionIsBelievedOnlyWithItsChecksum) {
    // The checksum mkfs.exfat wrote is the judge; the in-use fields are outside it.
    MemorySource volume(readFile(fixtureImage("exfat-basic.img")));
    std::uint8_t out[512];
    volume.bytes()[12 * 512 + 106] ^= 1;
    volume.bytes()[12 * 512 + 112] ^= 0x40;
    EXPECT_EQ(exfatBackupBootSector(volume, out), 12 * 512);
    volume.bytes()[14 * 512 + 9] ^= 1;
    EXPECT_EQ(exfatBackupBootSector(volume, out), -1);
}

TEST(BackupBoot, NtfsCopyInsideAPartitionIsFoundFromTheRowsSize) {
    // A 12 MiB volume at 2048 of a larger disk with its first sector wiped: its copy is not the
    // disk's last sector; the size the volume list gave (11 MiB) leads to it.
    const std::string image = readFile(fixtureImage("ntfs-512.img"));
    SparseDisk disk(2048 + 24576 + 8192);
    disk.source.put(2048 * 512, image.data(), image.size());
    disk.sector(2048).assign(512, 0);
    std::uint8_t out[512];
    EXPECT_EQ(ntfsBackupBootSector(VolumeView(&disk, 2048 * 512), 0, out), -1);

    MemoryTree tree;
    NullSink sink;
    ntfs parser(VolumeDescriptor{"NTFS", "", "", "11   MB", 2048});
    parser.attach(&disk, &tree, &sink);
    WorkerResult result = parser.runWorker(1);
    EXPECT_EQ(result.remarks,
              std::vector<std::string>{"boot sector damaged: read from its "
                                       "backup copy at sector 24575 of the volume"});
    EXPECT_TRUE(parser.mftReady);

    // Neither copy, nor an MFT to be found: a failure that says what was tried.
    SparseDisk blank(8192);
    ntfs none(VolumeDescriptor{"NTFS", "", "", "4", 0});
    none.attach(&blank, &tree, &sink);
    result = none.runWorker(1);
    EXPECT_EQ(result.failureBox, "Selected Drive is not in NTFS Format");
    ASSERT_EQ(result.remarks.size(), 1u);
    EXPECT_NE(result.remarks[0].find("no backup copy"), std::string::npos);
}
