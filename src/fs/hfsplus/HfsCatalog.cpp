#include "fs/hfsplus/HfsCatalog.h"

#include <algorithm>

namespace vel {

void HfsCatalogMap::add(HfsCatalogEntry entry, std::u16string_view name,
                        std::span<const hfs::Extent> extents) {
    entry.nameStart = static_cast<std::uint32_t>(names_.size());
    entry.nameLength = static_cast<std::uint16_t>(std::min<std::size_t>(name.size(), 0xFFFF));
    names_.insert(names_.end(), name.begin(), name.begin() + entry.nameLength);
    entry.extentStart = static_cast<std::uint32_t>(extents_.size());
    entry.extentCount =
        static_cast<std::uint8_t>(std::min<std::size_t>(extents.size(), hfs::kExtentsPerRecord));
    extents_.insert(extents_.end(), extents.begin(), extents.begin() + entry.extentCount);
    entries_.push_back(entry);
}

void HfsCatalogMap::seal() {
    std::sort(entries_.begin(), entries_.end(), [](const auto& a, const auto& b) {
        return a.cnid != b.cnid ? a.cnid < b.cnid : a.order < b.order;
    });
    entries_.erase(std::unique(entries_.begin(), entries_.end(),
                               [](const auto& a, const auto& b) { return a.cnid == b.cnid; }),
                   entries_.end());
    entries_.shrink_to_fit();
}

bool HfsCatalogMap::insertSealed(HfsCatalogEntry entry, std::u16string_view name) {
    auto at =
        std::lower_bound(entries_.begin(), entries_.end(), entry.cnid,
                         [](const HfsCatalogEntry& e, std::uint32_t c) { return e.cnid < c; });
    if (at != entries_.end() && at->cnid == entry.cnid) return false;
    entry.nameStart = static_cast<std::uint32_t>(names_.size());
    entry.nameLength = static_cast<std::uint16_t>(std::min<std::size_t>(name.size(), 0xFFFF));
    names_.insert(names_.end(), name.begin(), name.begin() + entry.nameLength);
    entry.extentCount = 0;
    entries_.insert(at, entry);
    return true;
}

void HfsCatalogMap::clear() {
    entries_.clear();
    names_.clear();
    extents_.clear();
}

const HfsCatalogEntry* HfsCatalogMap::find(std::uint32_t cnid) const {
    auto at =
        std::lower_bound(entries_.begin(), entries_.end(), cnid,
                         [](const HfsCatalogEntry& e, std::uint32_t c) { return e.cnid < c; });
    return at != entries_.end() && at->cnid == cnid ? &*at : nullptr;
}

HfsCatalogEntry* HfsCatalogMap::find(std::uint32_t cnid) {
    return const_cast<HfsCatalogEntry*>(static_cast<const HfsCatalogMap*>(this)->find(cnid));
}

std::u16string_view HfsCatalogMap::name(const HfsCatalogEntry& e) const {
    if (e.nameStart + std::size_t{e.nameLength} > names_.size()) return {};
    return {names_.data() + e.nameStart, e.nameLength};
}

std::span<const hfs::Extent> HfsCatalogMap::extents(const HfsCatalogEntry& e) const {
    if (e.extentStart + std::size_t{e.extentCount} > extents_.size()) return {};
    return {extents_.data() + e.extentStart, e.extentCount};
}

}  // namespace vel
