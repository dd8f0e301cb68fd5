// Damaged tables on synthetic disks: GPT copies and their checksums, what an MBR must hold to be
// a table, and the lost-volume scan meeting a boot sector that may be a copy.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "DiskBuilder.h"
#include "partition/GptLayout.h"
#include "partition/Partition.h"

using namespace vel;
using namespace vel::test;

namespace {

std::vector<std::int64_t> starts(const Partition& p) {
    std::vector<std::int64_t> out;
    for (const auto& v : p.volumes) out.push_back(v.startSector);
    return out;
}
std::string allNotes(const Partition& p) {
    std::string text;
    for (const std::string& n : p.notes) text += n + "\n";
    return text;
}

void mbrEntry(SparseDisk& disk, unsigned type, std::uint32_t first, std::uint32_t count,
              unsigned flag = 0) {
    auto& s = disk.sector(0);
    s[446] = static_cast<unsigned char>(flag);
    s[446 + 4] = static_cast<unsigned char>(type);
    putLe32(s, 446 + 8, first);
    putLe32(s, 446 + 12, count);
    s[510] = 0x55, s[511] = 0xAA;
}

// A GPT disk as a partitioning tool leaves it: protective MBR, header and array at LBA 1 and 2,
// their copies at the end, checksums filled in; two partitions.
constexpr std::int64_t kSectors = 100000;
void writeGptDisk(SparseDisk& disk) {
    mbrEntry(disk, 0xEE, 1, kSectors - 1);
    std::vector<unsigned char> array(128 * 128, 0);
    for (auto [k, first, last] : {std::tuple{0, 2048, 22047}, std::tuple{1, 30000, 50000}}) {
        for (int i = 0; i < 16; ++i) array[static_cast<std::size_t>(k * 128 + i)] = 0xA0 + i;
        putLe64(array, static_cast<std::size_t>(k * 128 + 32), first);
        putLe64(array, static_cast<std::size_t>(k * 128 + 40), last);
    }
    for (auto [header, entries, other] :
         {std::tuple{std::int64_t{1}, std::int64_t{2}, kSectors - 1},
          std::tuple{kSectors - 1, kSectors - 33, std::int64_t{1}}}) {
        disk.put(entries, array);
        std::vector<unsigned char> h(512, 0);
        std::memcpy(h.data(), "EFI PART", 8);
        putLe32(h, gpt::kHeaderSize, 92);
        putLe64(h, gpt::kMyLba, static_cast<std::uint64_t>(header));
        putLe64(h, gpt::kAlternateLba, static_cast<std::uint64_t>(other));
        putLe64(h, gpt::kArrayLba, static_cast<std::uint64_t>(entries));
        putLe32(h, gpt::kEntryCount, 128);
        putLe32(h, gpt::kEntrySize, 128);
        putLe32(h, gpt::kArrayCrc, gpt::crc32(array.data(), array.size()));
        putLe32(h, gpt::kHeaderCrc, gpt::crc32(h.data(), 92));
        disk.put(header, h);
    }
    disk.put(2048, fatBoot(true, 20000));
    disk.put(30000, ntfsBoot(20000));
}

void wipe(SparseDisk& d, std::int64_t first, std::int64_t count = 1) {
    for (std::int64_t s = first; s < first + count; ++s) d.sector(s).assign(512, 0);
}

}  // namespace

TEST(DamagedGpt, EachDamageFallsBackToTheCopyThatHolds) {
    const char* crc = "123456789";  // the check value every CRC-32 of this kind gives
    EXPECT_EQ(gpt::crc32(reinterpret_cast<const std::uint8_t*>(crc), 9), 0xCBF43926u);
    const std::vector<std::int64_t> both = {2048, 30000};
    const char* backup = "the backup GPT at sector 99999 was used";
    struct Case {
        const char* what;
        std::function<void(SparseDisk&)> damage;
        bool gptBox;
        std::vector<std::int64_t> starts;
        const char* note;  // "" when the walk has nothing to say
    } cases[] = {
        {"intact, found without the box", [](SparseDisk&) {}, false, both, ""},
        {"primary header wiped", [](SparseDisk& d) { wipe(d, 1); }, false, both, backup},
        {"primary array changed", [](SparseDisk& d) { d.sector(2)[40] ^= 1; }, false, both, backup},
        {"protective MBR wiped", [](SparseDisk& d) { wipe(d, 0); }, false, both, ""},
        {"both arrays changed in an unused slot",
         [](SparseDisk& d) {
             d.sector(3)[100] ^= 1;
             d.sector(kSectors - 32)[100] ^= 1;
         },
         false, both, "fails its checksum; its entries were read anyway"},
        {"both headers wiped: the array where the protective MBR says",
         [](SparseDisk& d) { wipe(d, 1), wipe(d, kSectors - 1); }, false, both,
         "no GPT header with a valid checksum"},
        {"headers and arrays wiped",
         [](SparseDisk& d) { wipe(d, 1, 33), wipe(d, kSectors - 1); },
         false,
         {},
         "neither GPT copy is valid"},
        {"no protective MBR nor headers",
         [](SparseDisk& d) { wipe(d, 0, 2), wipe(d, kSectors - 1); },
         false,
         {},
         kNoPartitionTable},
    };
    for (const Case& c : cases) {
        SparseDisk disk(kSectors);
        writeGptDisk(disk);
        c.damage(disk);
        Partition p;
        p.gptMode = c.gptBox;
        EXPECT_EQ(p.walkPartitionTables(disk), 0) << c.what;
        EXPECT_EQ(starts(p), c.starts) << c.what;
        if (*c.note)
            EXPECT_NE(allNotes(p).find(c.note), std::string::npos) << c.what << ": " << allNotes(p);
        else
            EXPECT_EQ(allNotes(p), "") << c.what;
    }
}

TEST(StrictMbr, OnlyATableThatHoldsTogetherIsWalked) {
    struct Case {
        const char* what;
        unsigned flag;
        std::uint32_t first, count;
        bool listed;
    } cases[] = {
        {"sound", 0x80, 2048, 4096, true},
        {"ends at the disk's last sector", 0x00, 2048, 7952, true},
        {"boot flag neither 0 nor 0x80", 0x12, 2048, 4096, false},
        {"starts at sector 0", 0x00, 0, 4096, false},
        {"no sectors", 0x00, 2048, 0, false},
        {"ends past the disk", 0x00, 2048, 7953, false},
        {"starts far beyond the disk", 0x00, 4000000000u, 100, false},
    };
    for (const Case& c : cases) {
        SparseDisk disk(10000);
        mbrEntry(disk, 0x0C, c.first, c.count, c.flag);
        Partition p;
        p.walkPartitionTables(disk);
        EXPECT_EQ(p.volumes.size(), c.listed ? 1u : 0u) << c.what;
        EXPECT_EQ(allNotes(p), c.listed ? "" : std::string(kNoPartitionTable) + "\n") << c.what;
    }
}

TEST(ScanMeetsCopies, ACopyMovesOnlyWhenItsNeighboursSaySo) {
    auto fat32 = fatBoot(true, 20000);
    putLe16(fat32, 50, 6);
    struct Case {
        const char* what;
        std::vector<std::pair<std::int64_t, std::vector<unsigned char>>> sectors;
        std::vector<std::int64_t> starts;
    } cases[] = {
        // Sector 1006 may start a volume or be the copy of one at 1000; with no FAT behind
        // either start, it is taken as it stands.
        {"a FAT32 boot sector alone", {{1006, fat32}}, {1006}},
        {"its FAT behind sector 1000", {{1006, fat32}, {1032, {0xF8, 0xFF, 0xFF, 0x0F}}}, {1000}},
        {"both copies", {{1000, fat32}, {1006, fat32}}, {1000}},
    };
    for (const Case& c : cases) {
        SparseDisk disk(60000);
        for (const auto& [at, bytes] : c.sectors) disk.put(at, bytes);
        Partition p;
        p.skipVolumeExtent = false;
        p.scanForVolumes(disk);
        EXPECT_EQ(starts(p), c.starts) << c.what;
    }
}
