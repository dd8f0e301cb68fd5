// Disk images in the formats people have, against the raw disks they were converted from.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <thread>

#include "device/DiskSource.h"
#include "device/FileReadSeek.h"
#include "device/MediaDigest.h"
#include "device/image/EwfChunks.h"
#include "device/image/EwfSource.h"
#include "device/image/SplitRawSource.h"
#include "support/Fixtures.h"

using namespace vel;
using namespace vel::test;
namespace fs = std::filesystem;

namespace {

constexpr std::size_t kPiece = 1 << 20;

std::shared_ptr<DiskSource> open(const std::string& path) {
    std::string error;
    auto source = openDiskSource(path, error);
    EXPECT_TRUE(source) << path << ": " << error;
    return source;
}

std::string rawOf(const nlohmann::json& image) {
    return fixtureImage(image["source"].get<std::string>());
}

// Every sector of source either holds the raw bytes or is in its bad list and reads as zeros.
// Returns the bad sectors met.
std::vector<std::int64_t> compareWithRaw(const DiskSource& source, const std::string& rawPath) {
    FileReadSeek raw;
    EXPECT_TRUE(raw.openDevice(rawPath));
    std::vector<unsigned char> a(kPiece), b(kPiece);
    for (std::int64_t at = 0; at < raw.byteSize(); at += kPiece) {
        source.readAt(at, a.data(), kPiece);
        raw.readAt(at, b.data(), kPiece);
        if (std::memcmp(a.data(), b.data(), kPiece) == 0) continue;
        for (std::size_t s = 0; s < kPiece; s += kSectorBytes) {
            if (std::memcmp(a.data() + s, b.data() + s, kSectorBytes) == 0) continue;
            const std::int64_t sector = (at + static_cast<std::int64_t>(s)) / kSectorBytes;
            EXPECT_TRUE(source.badSectors().contains(sector)) << "sector " << sector;
            EXPECT_TRUE(std::all_of(a.begin() + static_cast<long>(s),
                                    a.begin() + static_cast<long>(s + kSectorBytes),
                                    [](unsigned char c) { return c == 0; }));
        }
    }
    return source.badSectors().sectors();
}

// A copy of an image's files in a fresh folder, to damage.
struct Copy {
    TempDir dir;
    std::vector<std::string> files;
    explicit Copy(const std::string& first) {
        for (const auto& image : formatsManifest()["images"])
            if (image["file"] == first) {
                formatImage(first);
                for (const auto& f : image["files"]) {
                    files.push_back(dir.file(f.get<std::string>()));
                    fs::copy_file(fixtureImage(f.get<std::string>()), files.back());
                }
            }
    }
};

}  // namespace

TEST(ImageSource, EveryFormatReadsAsItsRawDisk) {
    const auto& manifest = formatsManifest();
    for (const auto& image : manifest["images"]) {
        const std::string file = image["file"];
        SCOPED_TRACE(file);
        const auto& truth = manifest["sources"][image["source"].get<std::string>()];
        // Any member of a set opens the whole set (a VMDK is opened by its descriptor).
        std::vector<nlohmann::json> members = {image["files"].front()};
        if (image["format"] != "VMDK") members.push_back(image["files"].back());
        for (const auto& member : members) {
            formatImage(file);
            auto source = open(fixtureImage(member.get<std::string>()));
            ASSERT_TRUE(source);
            const ImageInfo& info = source->image();
            EXPECT_EQ(info.format, image["format"].get<std::string>());
            // Some formats round the disk up to their geometry.
            EXPECT_GE(info.mediaSize, truth["media_size"].get<std::int64_t>());
            EXPECT_LT(info.mediaSize, truth["media_size"].get<std::int64_t>() + (1 << 20));
            EXPECT_TRUE(info.problems.empty());
            std::vector<std::string> names;
            for (const auto& f : info.files) names.push_back(fs::path(f).filename().string());
            if (image["format"] != "VMDK") {  // the library opens the extents itself
                EXPECT_EQ(names, image["files"].get<std::vector<std::string>>());
            }
            EXPECT_TRUE(compareWithRaw(*source, rawOf(image)).empty());
            if (image.contains("case")) {
                EXPECT_EQ(info.md5, image["md5"]);
                EXPECT_EQ(info.sha1, image["sha1"]);
                EXPECT_EQ(info.md5, truth["md5"]);
                for (const auto& [key, value] : image["case"].items()) {
                    auto it = std::find_if(info.caseData.begin(), info.caseData.end(),
                                           [&](const auto& kv) { return kv.first == key; });
                    ASSERT_NE(it, info.caseData.end()) << key;
                    EXPECT_EQ(it->second, value.get<std::string>()) << key;
                }
            }
        }
    }
}

TEST(ImageSource, DigestOfTheDataMatchesTheStoredHashes) {
    auto source = open(formatImage("formats-fat32.E01"));
    ASSERT_TRUE(source);
    std::int64_t told = 0;
    MediaDigest d = digestMedia(*source, [&](std::int64_t done, std::int64_t) {
        told = done;
        return true;
    });
    EXPECT_EQ(told, source->byteSize());
    EXPECT_EQ(d.md5, source->image().md5);
    EXPECT_EQ(d.sha1, source->image().sha1);
    EXPECT_EQ(d.unreadableBytes, 0u);
    EXPECT_TRUE(digestMedia(*source, [](auto, auto) { return false; }).stopped);
}

TEST(ImageSource, TwoThreadsReadOneImageAtOnce) {
    for (const char* file :
         {"formats-ntfs.E01", "formats-ntfs.qcow2", "formats-ntfs.vmdk", "formats-ntfs.img.000"}) {
        SCOPED_TRACE(file);
        auto source = open(formatImage(file));
        ASSERT_TRUE(source);
        FileReadSeek raw;
        ASSERT_TRUE(raw.openDevice(fixtureImage("formats-ntfs.img")));
        std::atomic<int> mismatches{0};
        auto reader = [&](unsigned seed) {
            std::mt19937 random(seed);
            std::vector<unsigned char> a(70000), b(70000);
            for (int i = 0; i < 300; ++i) {
                const std::int64_t at = random() % (raw.byteSize() - 70000);
                source->readAt(at, a.data(), a.size());
                raw.readAt(at, b.data(), b.size());
                if (a != b) ++mismatches;
            }
        };
        std::thread one(reader, 1), two(reader, 2);
        one.join();
        two.join();
        EXPECT_EQ(mismatches, 0);
    }
}

TEST(ImageSource, MissingOrCutSegmentsReadAsFarAsTheyGo) {
    struct Case {
        const char* image;
        const char* raw;
        const char* damaged;  // the file removed, or cut to half its size
        bool cut;
        const char* note;  // how the problem starts
    };
    for (const Case& c : {Case{"formats-fat32.E01", "fat32-mkfs.img", "formats-fat32.E02", false,
                               "formats-fat32.E02 is missing: sectors "},
                          Case{"formats-fat32.E01", "fat32-mkfs.img", "formats-fat32.E03", true,
                               "formats-fat32.E03 is cut short: sectors "},
                          Case{"formats-fat32.E01", "fat32-mkfs.img", "formats-fat32.E05", true,
                               "formats-fat32.E05 is cut short: sectors "},
                          Case{"formats-ntfs.E01", "formats-ntfs.img", "formats-ntfs.E01", true,
                               "formats-ntfs.E01 is cut short: sectors "},
                          Case{"formats-ntfs.img.000", "formats-ntfs.img", "formats-ntfs.img.001",
                               false, "formats-ntfs.img.001 is missing: sectors 8192 to 16383 "},
                          Case{"formats-fat32.aa", "fat32-mkfs.img", "formats-fat32.ad", false,
                               "formats-fat32.ad is missing: sectors 49152 to 65535 "}}) {
        SCOPED_TRACE(c.damaged);
        Copy copy(c.image);
        const std::string damaged = copy.dir.file(c.damaged);
        // What the files before the damage hold: they are read whole.
        std::int64_t before = 0;
        for (const std::string& f : copy.files) {
            if (f == damaged) break;
            before += static_cast<std::int64_t>(fs::file_size(f));
        }
        const std::uint64_t kept = c.cut ? fs::file_size(damaged) / 2 : 0;
        if (c.cut)
            fs::resize_file(damaged, kept);
        else
            fs::remove(damaged);

        auto source = open(copy.files.front());
        ASSERT_TRUE(source);
        ASSERT_FALSE(source->image().problems.empty());
        const std::string& note = source->image().problems.front();
        EXPECT_EQ(note.rfind(c.note, 0), 0u) << note;
        std::vector<std::int64_t> bad = compareWithRaw(*source, fixtureImage(c.raw));
        ASSERT_FALSE(bad.empty());
        // One gap, the one the note names, after what the files before the damage hold.
        EXPECT_EQ(bad.back() - bad.front() + 1, static_cast<std::int64_t>(bad.size()));
        EXPECT_NE(note.find(std::to_string(bad.front()) + " to " + std::to_string(bad.back())),
                  std::string::npos)
            << note;
        EXPECT_GT(bad.front(), 0);
        // The chunks still in a cut segment are read too (its table at the end is gone).
        EXPECT_GE(bad.front() * kSectorBytes,
                  before + static_cast<std::int64_t>(kept) - (256 << 10));
        if (std::string(c.image).find(".E") != std::string::npos) {
            // A segment set cannot be read past its first damaged segment.
            EXPECT_EQ(bad.back(), source->sectorCount() - 1);
        } else {
            EXPECT_EQ(bad.front() * kSectorBytes, before);
        }
    }
}

TEST(ImageSource, PieceAndSegmentNames) {
    struct Split {
        const char* path;
        bool numeric;
        int width, index;
        const char* next;
    };
    for (const Split& s :
         {Split{"/d/disk.img.000", true, 3, 0, "/d/disk.img.001"},
          Split{"/d/disk.009", true, 3, 9, "/d/disk.010"}, Split{"disk.99", true, 2, 99, ""},
          Split{"/d/disk.aa", false, 2, 0, "/d/disk.ab"},
          Split{"/d/disk.az", false, 2, 25, "/d/disk.ba"},
          Split{"/d/disk.zz", false, 2, 675, ""}}) {
        auto n = parseSplitName(s.path);
        ASSERT_TRUE(n) << s.path;
        EXPECT_EQ(n->numeric, s.numeric) << s.path;
        EXPECT_EQ(n->width, s.width) << s.path;
        EXPECT_EQ(n->index, s.index) << s.path;
        EXPECT_EQ(splitPieceName(*n, s.index), s.path);
        EXPECT_EQ(splitPieceName(*n, s.index + 1), s.next);
    }
    for (const char* notAPiece : {"/d/disk.img", "/d/disk.iso", "/d/disk.0", "/d/disk.12345",
                                  "/d/disk.AA", "/d.000/disk", "/d/.000"})
        EXPECT_FALSE(parseSplitName(notAPiece)) << notAPiece;

    struct Ewf {
        const char* path;
        int number;
        const char* next;
    };
    for (const Ewf& e :
         {Ewf{"/d/case.E01", 1, "/d/case.E02"}, Ewf{"/d/case.E99", 99, "/d/case.EAA"},
          Ewf{"/d/case.EAZ", 125, "/d/case.EBA"}, Ewf{"/d/case.e09", 9, "/d/case.e10"},
          Ewf{"/d/case.Ex01", 1, "/d/case.Ex02"}, Ewf{"/d/case.s01", 1, "/d/case.s02"},
          Ewf{"/d/case.EZZ", kMaxEwfSegments, ""}}) {
        auto n = parseEwfName(e.path);
        ASSERT_TRUE(n) << e.path;
        EXPECT_EQ(n->number, e.number) << e.path;
        EXPECT_EQ(ewfSegmentName(*n, e.number), e.path);
        EXPECT_EQ(ewfSegmentName(*n, e.number + 1), e.next);
    }
    for (const char* notASegment :
         {"/d/case.E00", "/d/case.img", "/d/case.E1", "/d/case.EaA", "/d/case.iso"})
        EXPECT_FALSE(parseEwfName(notASegment)) << notASegment;
}

TEST(ImageSource, ALonePieceOrAnUnreadableFileIsNoSet) {
    TempDir dir;
    writeFile(dir.file("lone.001"), std::string(4096, 'x'));
    auto lone = open(dir.file("lone.001"));
    ASSERT_TRUE(lone);
    EXPECT_EQ(lone->image().format, "raw");
    EXPECT_EQ(lone->byteSize(), 4096);

    std::string error;
    EXPECT_FALSE(openDiskSource(dir.file("absent.E01"), error));
    EXPECT_NE(error.find("absent.E01"), std::string::npos);
    // A file that carries a signature but nothing behind it is refused, not read as raw.
    writeFile(dir.file("fake.qcow2"), std::string("QFI\xfb\0\0\0\3", 8) + std::string(504, '\0'));
    EXPECT_FALSE(openDiskSource(dir.file("fake.qcow2"), error));
    EXPECT_FALSE(error.empty());
}

TEST(ImageSource, ChunksOfACutSegmentAreDecodedOnlyWhenWholeAndChecked) {
    constexpr std::size_t kChunk = 4096;
    std::vector<std::uint8_t> data(kChunk);
    for (std::size_t i = 0; i < kChunk; ++i) data[i] = static_cast<std::uint8_t>(i * 7 / 13);
    std::vector<std::uint8_t> deflated(compressBound(kChunk));
    uLongf deflatedSize = deflated.size();
    ASSERT_EQ(compress2(deflated.data(), &deflatedSize, data.data(), kChunk, 9), Z_OK);
    deflated.resize(deflatedSize);
    std::vector<std::uint8_t> stored = data;
    const uLong sum = adler32(adler32(0, nullptr, 0), data.data(), kChunk);
    for (int i = 0; i < 4; ++i) stored.push_back(static_cast<std::uint8_t>(sum >> (8 * i)));

    struct Case {
        const char* what;
        std::vector<std::uint8_t> bytes;
        bool decodes;
        std::size_t storedBytes;
    };
    std::vector<std::uint8_t> flipped = stored, cutDeflate = deflated, trailing = deflated;
    flipped[100] ^= 1;
    cutDeflate.resize(deflated.size() / 2);
    trailing.insert(trailing.end(), stored.begin(), stored.end());  // the next chunk follows
    for (const Case& c : {Case{"deflated", deflated, true, deflated.size()},
                          Case{"followed by the next", trailing, true, deflated.size()},
                          Case{"stored", stored, true, kChunk + 4},
                          Case{"stored, a bit changed", flipped, false, 0},
                          Case{"stored, cut", {stored.begin(), stored.end() - 1}, false, 0},
                          Case{"deflated, cut", cutDeflate, false, 0}}) {
        SCOPED_TRACE(c.what);
        std::vector<std::uint8_t> out(kChunk, 0xee);
        auto got = ewf::decodeChunk(c.bytes.data(), c.bytes.size(), out.data(), kChunk);
        ASSERT_EQ(got.has_value(), c.decodes);
        if (!got) continue;
        EXPECT_EQ(got->storedBytes, c.storedBytes);
        EXPECT_EQ(out, data);
    }
}
