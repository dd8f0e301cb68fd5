// The carving fixture: real files made by real tools, laid into pseudo-random filler at sector
// starts, odd offsets, back to back and in two fragments (tests/fixtures/carve-gen.py).
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <sstream>

#include "device/FileReadSeek.h"
#include "raw/CarveFormats.h"
#include "raw/RawSaver.h"
#include "scan/MemoryTree.h"
#include "support/Fixtures.h"

using namespace vel;
using namespace vel::test;

namespace {

struct Fixture {
    nlohmann::json manifest = loadJson(VELLORINE_CARVE_MANIFEST);
    std::string image = VELLORINE_CARVE_IMAGE;
    std::string bytes = readFile(image);
};

std::string slice(const std::string& bytes, const nlohmann::json& e) {
    return bytes.substr(e["offset"].get<std::size_t>(), e["size"].get<std::size_t>());
}

FormatKind kindOf(const std::string& ext) {
    static const std::map<std::string, FormatKind> kinds = {{"docx", FormatKind::Zip},
                                                            {"odt", FormatKind::Zip},
                                                            {"mov", FormatKind::Mp4},
                                                            {"sqlite", FormatKind::Sqlite}};
    auto it = kinds.find(ext);
    return it != kinds.end() ? it->second : formatForExtension(ext);
}

}  // namespace

TEST(CarveFixture, EveryCheckSizesItsWholeFileAndRefusesItsTruncatedHead) {
    Fixture fx;
    std::set<std::string> seen;
    for (const auto& e : fx.manifest["files"]) {
        const std::string name = e["name"], ext = e["extension"];
        if (e["placement"] == "fragmented" || !seen.insert(name).second) continue;
        const std::string file = slice(fx.bytes, e);
        const auto* data = reinterpret_cast<const std::uint8_t*>(file.data());
        // Whole, followed by the image's filler: exact, to the byte.
        const std::size_t at = e["offset"];
        const std::string tail = fx.bytes.substr(at, file.size() + 8192);
        ByteWindow whole({reinterpret_cast<const std::uint8_t*>(tail.data()), tail.size()},
                         tail.size());
        CarveVerdict v = checkFormat(kindOf(ext), whole);
        EXPECT_EQ(v.status, CarveStatus::Exact) << name;
        EXPECT_EQ(v.size, file.size()) << name;
        if (ext == "docx" || ext == "odt" || ext == "mov") {
            EXPECT_EQ(v.extension, ext) << name;
        }
        // Cut short (the volume ends, or the type's largest size): what is found never reaches
        // past the cut, and half a file is never exact.
        for (std::size_t cut :
             {file.size() / 4, file.size() / 2, file.size() * 3 / 4, file.size() - 1}) {
            ByteWindow shorter({data, cut}, cut);
            const CarveVerdict s = checkFormat(kindOf(ext), shorter);
            EXPECT_LE(s.size, cut) << name << " cut at " << cut;
            if (cut == file.size() / 2) {
                EXPECT_NE(s.status, CarveStatus::Exact) << name;
            }
        }
    }
    EXPECT_GE(seen.size(), 20u);
}

TEST(CarveFixture, EngineFindsEveryFileByteExactAndNothingElse) {
    Fixture fx;
    for (bool unaligned : {false, true}) {
        FileReadSeek reader;
        ASSERT_TRUE(reader.openDevice(fx.image));
        MemoryTree tree;
        NullSink sink;
        myJpg engine;
        ASSERT_TRUE(engine.loadDefinitions(defaultSignatureFilePath(), true).ok);
        engine.attach(&reader, &tree, &sink);
        engine.setVolume(0, fx.bytes.size());
        engine.unaligned = unaligned;
        ASSERT_TRUE(engine.runScan(""));
        std::map<std::uint64_t, const FoundFile*> byOffset;
        for (const FoundFile& f : engine.found()) byOffset[f.start] = &f;
        std::size_t matched = 0;
        for (const auto& e : fx.manifest["files"]) {
            const std::string name = e["name"], placement = e["placement"];
            const std::uint64_t at = e["offset"];
            auto it = byOffset.find(at);
            if (placement == "fragmented") {
                // Never passed off as whole.
                if (it != byOffset.end()) {
                    EXPECT_EQ(it->second->status, FoundStatus::Partial) << name;
                }
            } else if (placement == "aligned" || unaligned) {
                ASSERT_NE(it, byOffset.end())
                    << name << " at " << at << (unaligned ? " (unaligned)" : "");
                EXPECT_EQ(it->second->status, FoundStatus::Exact) << name;
                EXPECT_EQ(it->second->size, e["size"].get<std::uint64_t>()) << name;
            }
            if (it != byOffset.end()) {
                ++matched;
                byOffset.erase(it);
            }
        }
        EXPECT_GE(matched, unaligned ? 31u : 25u);
        for (const auto& [at, f] : byOffset)
            ADD_FAILURE() << "false positive " << f->extension << " at " << at;
    }
}

TEST(CarveFixture, CommandLineSavesEveryFileByteExact) {
    Fixture fx;
    TempDir out;
    CliResult r = runCli({"carve", fx.image, "--out", out.path(), "--unaligned", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::map<std::uint64_t, nlohmann::json> lines;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) {
        auto j = nlohmann::json::parse(line);
        lines[j["offset"].get<std::uint64_t>()] = j;
    }
    for (const auto& e : fx.manifest["files"]) {
        if (e["placement"] == "fragmented") continue;
        auto it = lines.find(e["offset"].get<std::uint64_t>());
        ASSERT_NE(it, lines.end()) << e["name"];
        const nlohmann::json& j = it->second;
        EXPECT_EQ(j["status"], "exact") << e["name"];
        EXPECT_EQ(sha256File(j["path"]), e["sha256"]) << e["name"];
        EXPECT_EQ(
            j["path"].get<std::string>().rfind(out.path() + "/" + j["category"].get<std::string>() +
                                                   "/" + std::to_string(it->first) + " .",
                                               0),
            0u);
    }
    EXPECT_NE(r.err.find("files saved in " + out.path()), std::string::npos);
}

TEST(CarveFixture, CommandLineRefusesBadSignatureInput) {
    Fixture fx;
    TempDir out;
    writeFile(out.file("tiny.sig"), std::string(10, 'x'));
    struct Case {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"carve", fx.image, "--out", out.path(), "--signatures", out.file("tiny.sig")},
         "not a valid file.."},
        {{"carve", fx.image, "--out", out.path(), "--signatures", out.file("none")},
         "can not open file"},
        {{"carve", fx.image, "--out", out.path(), "--no-default"}, "enter the info file first.."},
        {{"carve", out.file("missing.img"), "--out", out.path()}, "cannot read"},
        {{"carve", fx.image, "--out", out.path(), "--start-sector", "99999999"},
         "lies past the end of the source"},
        {{"carve", fx.image, "--out", out.path(), "--start-sector", "8", "--size-mb", "100000"},
         "runs past the end of the source"},
        {{"carve", fx.image, "--out", out.path(), "--volume", "0"}, "no volume 0 (0 found)"},
    };
    for (const Case& c : cases) {
        CliResult r = runCli(c.args);
        EXPECT_EQ(r.exitCode, 2) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}

TEST(CarveFixture, CommandLineCarvesAGivenRangeFromItsFirstByte) {
    Fixture fx;
    // An aligned file some way in: the range starts at its first sector.
    const nlohmann::json* chosen = nullptr;
    for (const auto& e : fx.manifest["files"])
        if (e["placement"] == "aligned" && e["offset"].get<std::uint64_t>() >= (64u << 10)) {
            chosen = &e;
            break;
        }
    ASSERT_TRUE(chosen);
    const std::uint64_t start = (*chosen)["offset"];
    TempDir out;
    CliResult r = runCli({"carve", fx.image, "--out", out.path(), "--start-sector",
                          std::to_string(start / 512), "--size-mb", "1", "--json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    bool first = false;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) {
        auto j = nlohmann::json::parse(line);
        // Offsets count from the range's start, and nothing past its end is found.
        EXPECT_LE(j["offset"].get<std::uint64_t>() + j["size"].get<std::uint64_t>(), 1u << 20);
        if (j["offset"] == 0) {
            first = true;
            EXPECT_EQ(sha256File(j["path"]), (*chosen)["sha256"]);
        }
    }
    EXPECT_TRUE(first) << r.out;
}
