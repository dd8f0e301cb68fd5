#pragma once
// Small HFS+ volumes built byte by byte, for what the shared images do not hold: hard links,
// symbolic links, odd names, distinct dates, damaged headers, nodes and extents. The catalog is a
// chain of leaf nodes without index nodes (the parser reads every node and follows the chain);
// every item has its record and its thread record.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace vel::test {

struct HfsBuilderExtent {
    std::uint32_t start, count;
};

struct HfsFileOptions {
    std::uint32_t create = 3700000000u, contentMod = 3700000000u;
    std::uint32_t attributeMod = 3700000000u, access = 3700000000u;
    std::uint32_t type = 0, creator = 0, special = 0;
    std::uint16_t mode = 0100644;
    std::vector<HfsBuilderExtent> extents;  // empty: contiguous blocks are taken
    std::uint32_t inRecord = 8;     // extents kept in the record; the rest go to overflow records
    std::uint64_t logicalSize = 0;  // 0: the data's size
};

class HfsImageBuilder {
  public:
    static constexpr std::uint32_t kBlock = 4096;
    static constexpr std::uint32_t kNode = 4096;
    static constexpr std::uint32_t kBlocks = 256;
    static constexpr std::uint32_t kCatalogStart = 4;  // block 1 bitmap, 2-3 extents tree

    using Extent = HfsBuilderExtent;
    using FileOptions = HfsFileOptions;

    std::uint32_t leafCapacity = 1000;  // records per leaf node
    std::uint32_t catalogNodes = 0;     // set by build()

    HfsImageBuilder() { items_.push_back({2, 1, u"Volume", true, {}, {}}); }

    std::uint32_t folder(std::uint32_t parent, const std::u16string& name) {
        items_.push_back({nextId_, parent, name, true, {}, {}});
        return nextId_++;
    }
    std::uint32_t file(std::uint32_t parent, const std::u16string& name, const std::string& data,
                       FileOptions o = {}) {
        auto blocks = static_cast<std::uint32_t>((data.size() + kBlock - 1) / kBlock);
        if (o.extents.empty() && blocks) {
            o.extents.push_back({nextBlock_, blocks});
            nextBlock_ += blocks;
        }
        items_.push_back({nextId_, parent, name, false, data, o});
        return nextId_++;
    }

    std::vector<std::uint8_t> build() {
        std::vector<std::uint8_t> img(std::size_t{kBlocks} * kBlock, 0);
        std::vector<std::vector<std::uint8_t>> records;
        // Threads first, so that file records fill the last nodes.
        for (const Item& it : items_) records.push_back(threadRecord(it));
        for (const Item& it : items_) records.push_back(itemRecord(it));
        std::uint32_t leaves =
            static_cast<std::uint32_t>((records.size() + leafCapacity - 1) / leafCapacity);
        catalogNodes = leaves + 1;
        for (std::uint32_t l = 0; l < leaves; ++l) {
            std::vector<std::vector<std::uint8_t>> part(
                records.begin() + l * leafCapacity,
                records.begin() + std::min<std::size_t>(records.size(), (l + 1) * leafCapacity));
            putNode(img, kCatalogStart + 1 + l, leaf(part, l + 1 < leaves ? l + 2 : 0));
        }
        putNode(img, kCatalogStart, headerNode(catalogNodes, 1, leaves, records.size()));
        // Overflow records for what did not fit in the records.
        std::vector<std::vector<std::uint8_t>> overflow;
        for (const Item& it : items_) {
            const auto& x = it.options.extents;
            std::uint32_t before = 0;
            for (std::size_t i = 0; i < std::min<std::size_t>(x.size(), it.options.inRecord); ++i)
                before += x[i].count;
            for (std::size_t i = it.options.inRecord; i < x.size(); i += 8) {
                std::vector<std::uint8_t> r(76, 0);
                put16(r, 0, 10);
                put32(r, 4, it.id);
                put32(r, 8, before);
                for (std::size_t k = 0; k < 8 && i + k < x.size(); ++k) {
                    put32(r, 12 + 8 * k, x[i + k].start);
                    put32(r, 16 + 8 * k, x[i + k].count);
                    before += x[i + k].count;
                }
                overflow.push_back(r);
            }
        }
        putNode(img, 3, leaf(overflow, 0));
        putNode(img, 2, headerNode(2, overflow.empty() ? 0 : 1, 1, overflow.size()));
        // File data, and the bitmap of everything in use.
        for (const Item& it : items_) {
            std::size_t done = 0;
            for (const Extent& e : it.options.extents) {
                for (std::uint32_t b = 0; b < e.count && done < it.data.size(); ++b, done += kBlock)
                    if (e.start + b < kBlocks)
                        std::memcpy(&img[std::size_t{e.start + b} * kBlock], it.data.data() + done,
                                    std::min<std::size_t>(kBlock, it.data.size() - done));
                for (std::uint64_t b = e.start; b < std::uint64_t{e.start} + e.count && b < kBlocks;
                     ++b)
                    markUsed(img, static_cast<std::uint32_t>(b));
            }
        }
        for (std::uint32_t b = 0; b < kCatalogStart + catalogNodes; ++b) markUsed(img, b);
        markUsed(img, kBlocks - 1);
        std::vector<std::uint8_t> vh(512, 0);
        vh[0] = 'H';
        vh[1] = '+';
        put16(vh, 2, 4);
        put32(vh, 40, kBlock);
        put32(vh, 44, kBlocks);
        fork(vh, 112, 1, 1);
        fork(vh, 192, 2, 2);
        fork(vh, 272, kCatalogStart, catalogNodes);
        std::memcpy(&img[1024], vh.data(), vh.size());
        std::memcpy(&img[img.size() - 1024], vh.data(), vh.size());
        return img;
    }

    static std::size_t catalogNodeOffset(std::uint32_t node) {
        return std::size_t{kCatalogStart + node} * kBlock;
    }
    static void put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
        b[at] = static_cast<std::uint8_t>(v >> 8);
        b[at + 1] = static_cast<std::uint8_t>(v);
    }
    static void put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
        put16(b, at, v >> 16);
        put16(b, at + 2, v & 0xFFFF);
    }

  private:
    struct Item {
        std::uint32_t id, parent;
        std::u16string name;
        bool isFolder;
        std::string data;
        FileOptions options;
    };

    static std::vector<std::uint8_t> key(std::uint32_t parent, const std::u16string& name) {
        std::vector<std::uint8_t> k;
        auto add16 = [&](std::uint32_t v) {
            k.push_back(static_cast<std::uint8_t>(v >> 8));
            k.push_back(static_cast<std::uint8_t>(v));
        };
        add16(static_cast<std::uint32_t>(6 + 2 * name.size()));
        add16(parent >> 16);
        add16(parent & 0xFFFF);
        add16(static_cast<std::uint32_t>(name.size()));
        for (char16_t c : name) add16(c);
        return k;
    }
    static std::vector<std::uint8_t> itemRecord(const Item& it) {
        std::vector<std::uint8_t> r = key(it.parent, it.name);
        std::size_t d = r.size();
        r.resize(d + (it.isFolder ? 88 : 248), 0);
        const FileOptions& o = it.options;
        put16(r, d, it.isFolder ? 1 : 2);
        put32(r, d + 8, it.id);
        put32(r, d + 12, o.create);
        put32(r, d + 16, o.contentMod);
        put32(r, d + 20, o.attributeMod);
        put32(r, d + 24, o.access);
        put16(r, d + 42, it.isFolder ? 040755 : o.mode);
        put32(r, d + 44, o.special);
        if (it.isFolder) return r;
        put32(r, d + 48, o.type);
        put32(r, d + 52, o.creator);
        std::uint64_t size = o.logicalSize ? o.logicalSize : it.data.size();
        put32(r, d + 88, static_cast<std::uint32_t>(size >> 32));
        put32(r, d + 88 + 4, static_cast<std::uint32_t>(size));
        std::uint32_t total = 0;
        for (const Extent& e : o.extents) total += e.count;
        if (o.logicalSize) total = static_cast<std::uint32_t>(o.logicalSize / kBlock);
        put32(r, d + 88 + 12, total);
        for (std::size_t i = 0; i < std::min<std::size_t>(o.extents.size(), o.inRecord); ++i) {
            put32(r, d + 88 + 16 + 8 * i, o.extents[i].start);
            put32(r, d + 88 + 20 + 8 * i, o.extents[i].count);
        }
        return r;
    }
    static std::vector<std::uint8_t> threadRecord(const Item& it) {
        std::vector<std::uint8_t> r = key(it.id, u"");
        std::size_t d = r.size();
        r.resize(d + 10 + 2 * it.name.size(), 0);
        put16(r, d, it.isFolder ? 3 : 4);
        put32(r, d + 4, it.parent);
        put16(r, d + 8, static_cast<std::uint32_t>(it.name.size()));
        for (std::size_t i = 0; i < it.name.size(); ++i) put16(r, d + 10 + 2 * i, it.name[i]);
        return r;
    }
    static std::vector<std::uint8_t> leaf(const std::vector<std::vector<std::uint8_t>>& records,
                                          std::uint32_t forward) {
        std::vector<std::uint8_t> n(kNode, 0);
        put32(n, 0, forward);
        n[8] = 0xFF;
        n[9] = 1;
        put16(n, 10, static_cast<std::uint32_t>(records.size()));
        std::size_t at = 14;
        for (std::size_t i = 0; i < records.size(); ++i) {
            put16(n, kNode - 2 * (i + 1), static_cast<std::uint32_t>(at));
            std::memcpy(&n[at], records[i].data(), records[i].size());
            at += records[i].size();
        }
        put16(n, kNode - 2 * (records.size() + 1), static_cast<std::uint32_t>(at));
        return n;
    }
    static std::vector<std::uint8_t> headerNode(std::uint32_t total, std::uint32_t first,
                                                std::uint32_t last, std::size_t leafRecords) {
        std::vector<std::uint8_t> n(kNode, 0);
        n[8] = 1;
        put16(n, 10, 3);
        put16(n, 14, first ? 1 : 0);
        put32(n, 16, first);
        put32(n, 20, static_cast<std::uint32_t>(leafRecords));
        put32(n, 24, first);
        put32(n, 28, first ? last : 0);
        put16(n, 32, kNode);
        put16(n, 34, 516);
        put32(n, 36, total);
        put32(n, 40, 0);
        // Map record: every node in use.
        for (std::uint32_t i = 0; i < total; ++i) n[248 + i / 8] |= 0x80 >> (i % 8);
        std::uint16_t offsets[] = {14, 120, 248, kNode - 8};
        for (int i = 0; i < 4; ++i) put16(n, kNode - 2 * (i + 1), offsets[i]);
        return n;
    }
    static void fork(std::vector<std::uint8_t>& vh, std::size_t at, std::uint32_t start,
                     std::uint32_t blocks) {
        put32(vh, at + 4, blocks * kBlock);
        put32(vh, at + 12, blocks);
        put32(vh, at + 16, start);
        put32(vh, at + 20, blocks);
    }
    static void putNode(std::vector<std::uint8_t>& img, std::uint32_t block,
                        const std::vector<std::uint8_t>& node) {
        std::memcpy(&img[std::size_t{block} * kBlock], node.data(), node.size());
    }
    static void markUsed(std::vector<std::uint8_t>& img, std::uint32_t block) {
        if (block < kBlocks)
            img[kBlock + block / 8] |= static_cast<std::uint8_t>(0x80 >> (block % 8));
    }

    std::vector<Item> items_;
    std::uint32_t nextId_ = 16;
    std::uint32_t nextBlock_ = 64;
};

}  // namespace vel::test
