#pragma once
#include <cstdint>
#include <vector>

#include "fs/fat/FatVolumeParser.h"

namespace vel {

// FAT12 and FAT16: a fixed root region and a FAT held in memory, with 12- or 16-bit entries.
class Fat16Class final : public FatVolumeParser {
  public:
    explicit Fat16Class(VolumeDescriptor descriptor, ParserOptions options = {})
        : FatVolumeParser(std::move(descriptor), std::move(options)) {}

    static constexpr std::uint16_t kEndOfChain = 0xFFFF;

    WorkerResult runWorker(int scanMode) override;
    std::optional<AdvancedLayout> advancedLayout() const override;
    CandidateLists searchCandidates(int maxFileSystems) override;

    bool checkBootSector();
    void loadFat();
    void readRootDirectory();
    const std::vector<FatEntry>& scanRootDirectory();

    // The FAT entry of cluster n, or kEndOfChain when there is no further cluster.
    std::uint16_t nextCluster(std::uint32_t n) const;
    std::uint32_t chainNext(std::uint32_t n) override;
    std::uint32_t fatValue(std::uint32_t n) override;
    bool isFat12() const { return geometry_.fatBits == 12; }

  protected:
    void walkRootDirectory() override;

  private:
    std::vector<std::uint8_t> fat_;
    std::vector<std::uint8_t> rootBuffer_;
};

struct FileSystemRow;
FileSystemRow fat16FileSystemRow();
// FAT12 as partition tables name it; the FAT12/16 parser reads it.
FileSystemRow fat12FileSystemRow();

}  // namespace vel
