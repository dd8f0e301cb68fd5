#include "fs/fat/Fat32Class.h"

#include "fs/common/Endian.h"
#include "fs/common/FileSystemTable.h"
#include "search/RecycleBinNames.h"

namespace vel {

namespace {
constexpr std::uint64_t kFatBlock = 64 * 1024;
constexpr std::size_t kMaxFatBlocks = 256;  // 16 MiB of FAT held at most
}  // namespace

WorkerResult Fat32Class::runWorker(int scanMode) {
    WorkerResult result;
    if (scanMode == 2) return runAdvanced(true);
    if (scanMode != 1) {
        result.started = false;
        return result;
    }
    openVolume();
    volumeSizeBytes_ = sizeTextMiB(volume.sizeText) * 1048576;
    if (!checkBootSector()) {
        result.endSequence = false;
        result.failureBox = "Selected Drive is not in Fat32 Format";
        result.remarks.push_back(
            "no FAT32 boot sector at the start of the volume, nor a backup copy at sector 6");
        return result;
    }
    if (backupBootOffset_ >= 0) {
        result.remarks.push_back(backupBootText(backupBootOffset_));
        report().setStatusText(result.remarks.back());
    }
    measureRootDirectory();
    readRootDirectory();
    report().setStatusText("Finding Fat32 File And Directory entries recursively....");
    scanRootDirectory();
    markFreeClusterAssumptions();
    report().setStatusText("maintaining tree Structure in vector...");
    linkChildren(false);
    report().setStatusText("Creating Tree Structure....");
    fillRootNodes();
    report().setStatusText("Tree Structure Created.");
    addPlaceholders();
    restoreRecycleBinNames(*this);
    return result;
}

bool Fat32Class::checkBootSector() {
    return loadBootSector(true);
}

void Fat32Class::measureRootDirectory() {
    rootClusters_.clear();
    if (!bootValid_) return;
    std::uint32_t c = geometry_.rootCluster;
    std::uint64_t bytes = 0;
    while (validCluster(c) && bytes < kMaxDirectoryBytes && directoryGuard_.enter(c)) {
        rootClusters_.push_back(c);
        bytes += geometry_.clusterSize;
        c = chainNext(c);
    }
}

void Fat32Class::readRootDirectory() {
    rootBuffer_.assign(rootClusters_.size() * geometry_.clusterSize, 0);
    for (std::size_t i = 0; i < rootClusters_.size(); ++i)
        readCluster(rootClusters_[i], rootBuffer_.data() + i * geometry_.clusterSize);
}

const std::vector<FatEntry>& Fat32Class::scanRootDirectory() {
    if (bootValid_) scanDirectories(rootBuffer_);
    rootBuffer_.clear();
    rootBuffer_.shrink_to_fit();
    return records_;
}

void Fat32Class::walkRootDirectory() {
    fatBlocks_.clear();
    chainGuard_.clear();
    measureRootDirectory();
    readRootDirectory();
    scanRootDirectory();
}

std::uint32_t Fat32Class::fatEntry(std::uint32_t n) {
    std::uint64_t offset = static_cast<std::uint64_t>(geometry_.fatStart) + 4ull * n;
    std::uint64_t block = offset / kFatBlock;
    auto it = fatBlocks_.find(block);
    if (it == fatBlocks_.end()) {
        if (fatBlocks_.size() >= kMaxFatBlocks) fatBlocks_.clear();
        std::vector<std::uint8_t> data(kFatBlock, 0);
        if (reader)
            reader->readAt(static_cast<std::int64_t>(block * kFatBlock), data.data(), kFatBlock);
        it = fatBlocks_.emplace(block, std::move(data)).first;
    }
    return le32(it->second.data() + offset % kFatBlock);
}

std::uint32_t Fat32Class::nextCluster(std::uint32_t n) {
    lastNext_ = kEndOfChain;
    if (options.driveFormatted) return kEndOfChain;
    // The guard serves the scan only; extraction bounds its own walk and must not grow it.
    if (extractionCount_ == 0 && !chainGuard_.insert(n).second) return kEndOfChain;
    if (!validCluster(n)) return kEndOfChain;
    std::uint32_t v = fatEntry(n) & 0x0FFFFFFF;
    // 0x0FFFFFF7 marks a bad cluster, 0x0FFFFFF8 and above the end of a chain.
    if (v >= 0x0FFFFFF7) return kEndOfChain;
    lastNext_ = v;
    return v;
}

std::uint32_t Fat32Class::chainNext(std::uint32_t n) {
    std::uint32_t v = nextCluster(n);
    return v != kEndOfChain && validCluster(v) ? v : 0;
}

std::uint32_t Fat32Class::fatValue(std::uint32_t n) {
    return validCluster(n) ? fatEntry(n) & 0x0FFFFFFF : 0;
}

}  // namespace vel
