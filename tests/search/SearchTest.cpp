#include <gtest/gtest.h>

#include <cstring>

#include "scan/MemoryTree.h"
#include "search/PatternSearch.h"
#include "search/RecycleBinIndex.h"
#include "search/RecycleBinNames.h"
#include "support/FakeParser.h"

using namespace vel;
using namespace vel::test;

namespace {

struct RecordingSink : ScanSink {
    std::int64_t range = -1;
    std::vector<std::string> status;
    void setProgressRange(std::int64_t maximum) override { range = maximum; }
    void setProgressPosition(std::int64_t) override {}
    void setStatusText(const std::string& text) override { status.push_back(text); }
};

bool matches(const std::string& pattern, const std::string& name, bool ignoreCase = false) {
    auto p = SearchPattern::compile(pattern, ignoreCase);
    if (!p) throw std::runtime_error("refused: " + pattern);
    return p->matches(name);
}

}  // namespace

TEST(SearchPattern, MatchesAnywhereInTheNameAsEcmaScriptDoes) {
    struct Case {
        const char* pattern;
        const char* name;
        bool ignoreCase, expected;
    };
    const Case cases[] = {
        {"jpg", "photo.jpg", false, true},
        {"jpg", "jpgtools.exe", false, true},
        {"\\.jpg$", "jpgtools.exe", false, false},
        {"\\.jpg$|\\.png$", "picture.png", false, true},
        {"\\.jpg$|\\.png$", "photo.jpg", false, true},
        {"JPG", "photo.jpg", false, false},  // case matters by default
        {"JPG", "photo.jpg", true, true},
        // Names are UTF-8; a character is one code point, not one byte.
        {"Ünï", "Ünïcødé-bild.jpg", false, true},
        {"ünï", "Ünïcødé-bild.jpg", false, false},
        {"ünï", "ÜNÏCØDÉ.jpg", true, true},
        {"^.\\.txt$", "é.txt", false, true},
        {"^[äö]x$", "öx", false, true},
        {"\\u00e9", "résumé.txt", false, true},
        // ECMAScript's rules where Perl's differ: "$" is the end only; an unset group matches "".
        {"\\.jpg$", "x.jpg\n", false, false},
        {"(a)?\\1b", "b", false, true},
        // A name that is not UTF-8 is still tested.
        {"\\.jpg$", "\xff\xfe.jpg", false, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(matches(c.pattern, c.name, c.ignoreCase), c.expected)
            << c.pattern << " on " << c.name << (c.ignoreCase ? " ignoring case" : "");
}

TEST(SearchPattern, RefusedExactlyWhenTheGrammarRejectsIt) {
    for (const char* bad : {"*.jpg", "?x", "(ab", "[ab", "ab\\", "a{2", "(?i)jpg"})
        EXPECT_FALSE(SearchPattern::compile(bad)) << bad;
    for (const char* good : {"a|b", "[*]", "\\*\\.jpg", "(?:ab)+", "x(?=y)", ""})
        EXPECT_TRUE(SearchPattern::compile(good)) << good;
}

namespace {
// ROOT: docs/{a.txt, photo.jpg, sub/deep.jpg}, jpg/{cover.png, inside.jpg},
// "  spaced  "/{s.jpg}, old (deleted)/{lost.jpg (live-looking)}, top.jpg, loop/{back -> loop}.
struct SearchVolume : ::testing::Test {
    FakeParser parser;
    MemoryTree tree;
    RecordingSink sink;
    StopFlag stop;
    ItemData docs = 0, jpg = 0, old = 0, loop = 0;

    void SetUp() override {
        docs = parser.add(0, "docs", true);
        parser.add(docs, "a.txt", false, "a");
        parser.add(docs, "photo.jpg", false, "p");
        ItemData sub = parser.add(docs, "sub", true);
        parser.add(sub, "deep.jpg", false, "d");
        jpg = parser.add(0, "jpg", true);
        parser.add(jpg, "cover.png", false, "c");
        parser.add(jpg, "inside.jpg", false, "i");
        ItemData spaced = parser.add(0, "  spaced  ", true);
        parser.add(spaced, "s.jpg", false, "s");
        old = parser.add(0, "old", true, "", true);
        parser.add(old, "lost.jpg", false, "l");
        parser.add(0, "top.jpg", false, "t");
        loop = parser.add(0, "loop", true);
        parser.entries[static_cast<std::size_t>(loop)].children.push_back(loop);
        parser.attach(nullptr, &tree, &sink);
        parser.runWorker(1);
    }
    SearchResult search(const std::string& pattern) {
        PatternSearch s(parser, sink, stop);
        return s.searchTree(*SearchPattern::compile(pattern), tree, tree.firstChild(kNoItem));
    }
    static std::vector<std::string> paths(const SearchResult& r) {
        std::vector<std::string> p;
        for (const SearchHit& h : r.hits) p.push_back(h.path + (h.deleted ? " (deleted)" : ""));
        return p;
    }
};
}  // namespace

TEST_F(SearchVolume, FindsFilesInTreeOrderWithFullPathsAndDeletedLook) {
    SearchResult r = search("jpg");
    // The folder named jpg is not a hit; what is inside it is tested. Folder names in the path
    // lose their outer blanks; a file in a deleted folder keeps the folder's look.
    EXPECT_EQ(paths(r), (std::vector<std::string>{"ROOT/docs/photo.jpg", "ROOT/docs/sub/deep.jpg",
                                                  "ROOT/jpg/inside.jpg", "ROOT/spaced/s.jpg",
                                                  "ROOT/old/lost.jpg (deleted)", "ROOT/top.jpg"}));
    EXPECT_EQ(r.filesTested, 8);
    EXPECT_FALSE(r.stopped);
    EXPECT_EQ(sink.range, 6);  // the first-level items
    EXPECT_EQ(sink.status.back(), "searched file 6");
    // The folders a hit is in, outermost first, for saving it in place.
    EXPECT_EQ(
        r.foldersOf(r.hits[1]),
        (std::vector<ItemData>{docs, parser.entries[static_cast<std::size_t>(docs)].children[2]}));
    EXPECT_TRUE(r.foldersOf(r.hits[5]).empty());

    EXPECT_TRUE(search("\\.exe$").hits.empty());
    parser.setEntryName(parser.entries[static_cast<std::size_t>(jpg)].children[0], "tool.exe");
    EXPECT_EQ(paths(search("\\.exe$")), std::vector<std::string>{"ROOT/jpg/tool.exe"});
}

TEST_F(SearchVolume, StopEndsTheWalkAndAFolderStartsItOwnSearch) {
    stop.request();
    SearchResult stopped = search("jpg");
    EXPECT_TRUE(stopped.stopped);
    EXPECT_TRUE(stopped.hits.empty());
    stop.clear();

    PatternSearch s(parser, sink, stop);
    SearchResult r = s.searchEntry(*SearchPattern::compile("jpg"), docs, "ROOT/docs", false);
    EXPECT_EQ(paths(r),
              (std::vector<std::string>{"ROOT/docs/photo.jpg", "ROOT/docs/sub/deep.jpg"}));
}

namespace {
std::string v1Index(const std::u16string& path) {
    std::string b(544, '\0');
    b[0] = 1;
    b[8] = 0x10;
    std::memcpy(b.data() + 24, path.data(), 2 * path.size());
    return b;
}
std::string v2Index(const std::u16string& path, std::uint32_t lengthField) {
    std::string b(28, '\0');
    b[0] = 2;
    std::memcpy(b.data() + 24, &lengthField, 4);
    b.append(reinterpret_cast<const char*>(path.data()), 2 * path.size());
    b.append(2, '\0');
    return b;
}
std::string decodedName(const std::string& bytes) {
    auto f =
        recycle::decodeIndexFile(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return f ? "<" + recycle::formerName(f->path) + ">" : "refused";
}
}  // namespace

TEST(RecycleBinIndex, BothLayoutsAndTheirLimits) {
    const std::u16string report = u"C:\\Users\\a\\Documents\\report.docx";
    std::u16string longPath = u"C:\\";
    for (int i = 0; i < 80; ++i) longPath += u"deep-folder-xx\\";
    longPath += u"long.txt";
    std::string v1Big = v1Index(report);
    v1Big.resize(2048);
    std::string v3 = v2Index(report, 40);
    v3[0] = 3;
    struct Case {
        std::string bytes, expected;
    };
    const Case cases[] = {
        {v1Index(report), "<report.docx>"},
        {v2Index(report, static_cast<std::uint32_t>(report.size() + 1)), "<report.docx>"},
        // The second layout has no 2048-byte limit; its path may be 32k characters.
        {v2Index(longPath, static_cast<std::uint32_t>(longPath.size() + 1)), "<long.txt>"},
        {v1Big, "refused"},
        {v3, "refused"},
        {v1Index(report).substr(0, 23), "refused"},
        // A length past the data is cut at its end; a shorter one cuts the path.
        {v2Index(report, 0xFFFFFFFF).substr(0, 28 + 2 * 8), "<Users>"},
        {v2Index(report, 8), "<Users>"},
        {v1Index(u"plain.txt"), "<plain.txt>"},
        {v1Index(u"C:\\folder\\"), "<>"},
    };
    for (const Case& c : cases) EXPECT_EQ(decodedName(c.bytes), c.expected);
}

TEST(RecycleBinNames, PerUserMapsAnyCaseOfTheBinAndOnlyThePrefixReplaced) {
    FakeParser p;
    MemoryTree tree;
    ItemData bin = p.add(0, "$Recycle.Bin", true);
    ItemData userA = p.add(bin, "S-1-5-21-1", true);
    ItemData userB = p.add(bin, "S-1-5-21-2", true);
    p.add(userA, "$IAB12.txt", false, v1Index(u"C:\\a\\alpha.txt"));
    ItemData dataA = p.add(userA, "$RAB12.txt", false, "a");
    p.add(userB, "$IAB12.txt", false, v2Index(u"C:\\b\\beta.txt", 15));
    ItemData dataB = p.add(userB, "$RAB12.txt", false, "b");
    p.add(userB, "$Ix$I.txt", false, v2Index(u"C:\\b\\gamma.txt", 16));
    ItemData dataC = p.add(userB, "$Rx$I.txt", false, "c");
    ItemData lonely = p.add(userB, "$RNOIDX.txt", false, "n");
    ItemData elsewhere = p.add(0, "$RAB12.txt", false, "e");
    p.attach(nullptr, &tree, nullptr);
    p.runWorker(1);

    EXPECT_EQ(restoreRecycleBinNames(p), 3u);
    EXPECT_EQ(p.entryName(dataA), "alpha.txt");
    EXPECT_EQ(p.entryName(dataB), "beta.txt");
    EXPECT_EQ(p.entryName(dataC), "gamma.txt");
    EXPECT_EQ(p.entryName(lonely), "$RNOIDX.txt");
    EXPECT_EQ(p.entryName(elsewhere), "$RAB12.txt");
    EXPECT_EQ(p.recordedName(dataA), "$RAB12.txt");
}
