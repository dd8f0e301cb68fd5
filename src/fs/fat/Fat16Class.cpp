#include "fs/fat/Fat16Class.h"

#include <algorithm>

#include "search/RecycleBinNames.h"

namespace vel {

WorkerResult Fat16Class::runWorker(int scanMode) {
    WorkerResult result;
    if (scanMode == 2) return runAdvanced(false);
    if (scanMode != 1) {
        result.started = false;
        return result;
    }
    openVolume();
    volumeSizeBytes_ = sizeTextMiB(volume.sizeText) * 1048576;
    if (!checkBootSector()) {
        result.endSequence = false;
        result.failureBox = "Selected Drive is not in Fat16 Format";
        result.remarks.push_back(
            "no FAT12/16 boot sector at the start of the volume (FAT12/16 keep no backup copy)");
        return result;
    }
    loadFat();
    readRootDirectory();
    report().setStatusText("Finding Fat16 File And Directory entries recursively....");
    scanRootDirectory();
    markFreeClusterAssumptions();
    report().setStatusText("maintaining tree Structure in vector...");
    linkChildren(true);
    report().setStatusText("Creating Tree Structure....");
    fillRootNodes();
    report().setStatusText("Tree Structure Created.");
    report().setProgressRange(100);
    report().setProgressPosition(100);
    addPlaceholders();
    restoreRecycleBinNames(*this);
    return result;
}

bool Fat16Class::checkBootSector() {
    return loadBootSector(false);
}

void Fat16Class::loadFat() {
    fat_.clear();
    if (!bootValid_ || !reader) return;
    // Only the part that maps clusters of this volume.
    std::uint64_t needed = isFat12() ? (std::uint64_t{geometry_.clusterLimit} * 3 + 1) / 2 + 1
                                     : std::uint64_t{geometry_.clusterLimit} * 2;
    auto bytes = static_cast<std::size_t>(
        std::min<std::uint64_t>(needed, static_cast<std::uint64_t>(geometry_.fatSize)));
    fat_.assign(bytes, 0);
    reader->readAt(geometry_.fatStart, fat_.data(), static_cast<std::uint32_t>(bytes));
}

void Fat16Class::walkRootDirectory() {
    loadFat();
    readRootDirectory();
    scanRootDirectory();
}

void Fat16Class::readRootDirectory() {
    rootBuffer_.clear();
    if (!bootValid_ || !reader) return;
    rootBuffer_.assign(static_cast<std::size_t>(geometry_.rootSize), 0);
    reader->readAt(geometry_.rootStart, rootBuffer_.data(),
                   static_cast<std::uint32_t>(rootBuffer_.size()));
}

const std::vector<FatEntry>& Fat16Class::scanRootDirectory() {
    if (bootValid_) scanDirectories(rootBuffer_);
    rootBuffer_.clear();
    rootBuffer_.shrink_to_fit();
    return records_;
}

std::uint16_t Fat16Class::nextCluster(std::uint32_t n) const {
    if (options.driveFormatted || !validCluster(n)) return kEndOfChain;
    std::uint32_t v;
    if (isFat12()) {
        std::size_t off = n + n / 2;
        if (off + 1 >= fat_.size()) return kEndOfChain;
        std::uint32_t pair = fat_[off] | (fat_[off + 1] << 8);
        v = (n & 1) ? pair >> 4 : pair & 0x0FFF;
        // 0xFF7 marks a bad cluster, 0xFF8 and above the end of a chain.
        if (v >= 0x0FF7) return kEndOfChain;
    } else {
        std::size_t off = 2 * static_cast<std::size_t>(n);
        if (off + 1 >= fat_.size()) return kEndOfChain;
        v = fat_[off] | (fat_[off + 1] << 8);
        if (v >= 0xFFF7) return kEndOfChain;
    }
    return static_cast<std::uint16_t>(v);
}

std::uint32_t Fat16Class::chainNext(std::uint32_t n) {
    std::uint16_t v = nextCluster(n);
    return v != kEndOfChain && validCluster(v) ? v : 0;
}

std::uint32_t Fat16Class::fatValue(std::uint32_t n) {
    if (!validCluster(n)) return 0;
    if (isFat12()) {
        const std::size_t off = n + n / 2;
        if (off + 1 >= fat_.size()) return 0;
        const std::uint32_t pair = fat_[off] | (fat_[off + 1] << 8);
        return (n & 1) ? pair >> 4 : pair & 0x0FFF;
    }
    const std::size_t off = 2 * static_cast<std::size_t>(n);
    return off + 1 < fat_.size() ? static_cast<std::uint32_t>(fat_[off] | (fat_[off + 1] << 8)) : 0;
}

}  // namespace vel
