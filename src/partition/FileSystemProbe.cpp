#include "partition/FileSystemProbe.h"

#include <cstring>

namespace vel {

namespace {
std::uint16_t le16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

bool isPowerOfTwo(unsigned v) {
    return v != 0 && (v & (v - 1)) == 0;
}

// A FAT BIOS parameter block that holds together, whoever formatted it.
std::string fatKind(const unsigned char* b) {
    if (b[510] != 0x55 || b[511] != 0xAA) return "";
    unsigned bytesPerSector = le16(b + 11), sectorsPerCluster = b[13];
    unsigned reserved = le16(b + 14), fats = b[16];
    if (!isPowerOfTwo(bytesPerSector) || bytesPerSector < 512 || bytesPerSector > 4096) return "";
    if (!isPowerOfTwo(sectorsPerCluster) || reserved < 1 || fats < 1 || fats > 2) return "";
    unsigned fatSize16 = le16(b + 22);
    if (fatSize16 == 0) return "FAT32";
    unsigned rootEntries = le16(b + 17);
    std::uint32_t total = le16(b + 19);
    if (total == 0)
        total = b[32] | (b[33] << 8) | (b[34] << 16) | (static_cast<std::uint32_t>(b[35]) << 24);
    std::uint32_t rootSectors = (rootEntries * 32 + bytesPerSector - 1) / bytesPerSector;
    std::uint32_t meta = reserved + fats * fatSize16 + rootSectors;
    if (total <= meta) return "";
    std::uint32_t clusters = (total - meta) / sectorsPerCluster;
    return clusters < 4085 ? "FAT12" : "FAT16";
}
}  // namespace

std::string probeFileSystem(readWriteInterface& reader, std::int64_t startSector) {
    unsigned char block[2048] = {};
    std::int64_t base = reader.baseOffset;
    reader.baseOffset = 0;
    bool ok = reader.readAt(startSector * 512, block, sizeof block);
    reader.baseOffset = base;
    if (!ok) return "";
    if (std::memcmp(block + 3, "NTFS    ", 8) == 0) return "NTFS";
    if (std::memcmp(block + 3, "EXFAT   ", 8) == 0) return "FAT64";
    if (le16(block + 1024 + 56) == 0xEF53) {
        unsigned logBlock = block[1024 + 24];
        if (logBlock <= 6) return "extX";
    }
    if ((block[1024] == 'H' && block[1025] == '+') || (block[1024] == 'H' && block[1025] == 'X'))
        return "HFS+";
    return fatKind(block);
}

std::vector<VolumeDescriptor> listStandardVolumes(readWriteInterface&, bool) {
    return {};
}

}  // namespace vel
