#pragma once
#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "fs/fat/FatVolumeParser.h"

namespace vel {

// FAT32: the root directory is a cluster chain starting at the boot sector's root cluster.
class Fat32Class final : public FatVolumeParser {
  public:
    explicit Fat32Class(VolumeDescriptor descriptor, ParserOptions options = {})
        : FatVolumeParser(std::move(descriptor), std::move(options)) {}

    static constexpr std::uint32_t kEndOfChain = 0x0FFFFFFF;

    WorkerResult runWorker(int scanMode) override;
    std::optional<AdvancedLayout> advancedLayout() const override;
    CandidateLists searchCandidates(int maxFileSystems) override;

    bool checkBootSector();
    // The root's clusters, from the boot sector's root cluster along its chain.
    void measureRootDirectory();
    void readRootDirectory();
    const std::vector<FatEntry>& scanRootDirectory();

    // The FAT entry of cluster n (masked to 28 bits), or kEndOfChain when there is no further
    // cluster. During the scan a cluster looked up before ends the chain.
    std::uint32_t nextCluster(std::uint32_t n);
    std::uint32_t chainNext(std::uint32_t n) override;
    std::uint32_t fatValue(std::uint32_t n) override;
    std::uint32_t lastNextCluster() const { return lastNext_; }
    const std::vector<std::uint32_t>& rootClusters() const { return rootClusters_; }

  protected:
    void walkRootDirectory() override;

  private:
    std::uint32_t fatEntry(std::uint32_t n);

    std::unordered_set<std::uint32_t> chainGuard_;
    std::vector<std::uint32_t> rootClusters_;
    std::vector<std::uint8_t> rootBuffer_;
    std::uint32_t lastNext_ = 0;
    // FAT blocks read so far (64 KiB each); dropped all at once when too many are held.
    std::unordered_map<std::uint64_t, std::vector<std::uint8_t>> fatBlocks_;
};

struct FileSystemRow;
FileSystemRow fat32FileSystemRow();

}  // namespace vel
