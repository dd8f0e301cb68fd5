#include <gtest/gtest.h>

#include "scan/Preview.h"
#include "support/FakeParser.h"

namespace vel {
namespace {

std::vector<std::uint8_t> bytesOf(const std::string& s) {
    return {s.begin(), s.end()};
}

TEST(Preview, KindAndTextFollowTheBytes) {
    struct Case {
        std::string bytes;
        PreviewKind kind;
        std::string text;  // for text: as shown (UTF-8)
    } cases[] = {
        {"", PreviewKind::Empty, ""},
        {"\x89PNG\r\n\x1a\n....", PreviewKind::Image, ""},
        {"\xFF\xD8\xFF\xE0", PreviewKind::Image, ""},
        {"GIF89a", PreviewKind::Image, ""},
        {std::string("RIFF\0\0\0\0WEBPVP8 ", 16), PreviewKind::Image, ""},
        {"BM", PreviewKind::Text, "BM"},  // too short to be a bitmap
        {"line one\r\n\tline two\n", PreviewKind::Text, "line one\r\n\tline two\n"},
        {"\xEF\xBB\xBFna\xC3\xAFve", PreviewKind::Text, "na\xC3\xAFve"},  // UTF-8, mark dropped
        {"caf\xE9", PreviewKind::Text, "caf\xC3\xA9"},                    // Latin-1
        {std::string("\xFF\xFEh\0\xE9\0", 6), PreviewKind::Text, "h\xC3\xA9"},  // UTF-16LE
        {std::string("\xFE\xFF\0h\xD8\x3D\xDE\x00", 8), PreviewKind::Text,
         "h\xF0\x9F\x98\x80"},  // UTF-16BE with a surrogate pair
        {std::string("text\0more", 9), PreviewKind::Hex, ""},
        {std::string(50, '\x01') + std::string(50, 'a'), PreviewKind::Hex, ""},
    };
    for (const Case& c : cases) {
        const auto b = bytesOf(c.bytes);
        EXPECT_EQ(previewKind(b), c.kind) << c.bytes;
        if (c.kind == PreviewKind::Text) {
            EXPECT_EQ(previewText(b), c.text) << c.bytes;
        }
    }
    const std::string seventeen("Hello, world!\n\x00\x7f\x80", 17);
    EXPECT_EQ(hexListing(bytesOf(seventeen), 1000),
              "00000000  48 65 6c 6c 6f 2c 20 77  6f 72 6c 64 21 0a 00 7f  |Hello, world!...|\n"
              "00000010  80                                                |.|\n");
    EXPECT_EQ(hexListing(bytesOf(seventeen), 4),
              "00000000  48 65 6c 6c                                       |Hell|\n");
}

TEST(Preview, ReadsTheFirstBytesThroughTheParser) {
    test::FakeParser parser;
    const ItemData text = parser.add(0, "notes.txt", false, "0123456789");
    const ItemData gone = parser.add(0, "unreadable", false, "x");
    const ItemData empty = parser.add(0, "empty", false, "");
    const ItemData folder = parser.add(0, "docs", true);

    Preview whole = makePreview(parser, text);
    EXPECT_EQ(whole.kind, PreviewKind::Text);
    EXPECT_EQ(whole.text, "0123456789");
    EXPECT_FALSE(whole.truncated);

    Preview cut = makePreview(parser, text, 4);
    EXPECT_EQ(cut.text, "0123");
    EXPECT_TRUE(cut.truncated);
    EXPECT_TRUE(cut.whole);  // cut by the limit, not by damage

    // A character cut by the limit keeps the text UTF-8; cut anywhere else it is not UTF-8.
    EXPECT_EQ(previewText(bytesOf("na\xC3"), true), "na\xC3");
    EXPECT_EQ(previewText(bytesOf("na\xC3"), false), "na\xC3\x83");

    EXPECT_EQ(makePreview(parser, gone).kind, PreviewKind::Unreadable);
    EXPECT_EQ(makePreview(parser, empty).kind, PreviewKind::Empty);
    EXPECT_EQ(makePreview(parser, folder).kind, PreviewKind::Empty);
}

}  // namespace
}  // namespace vel
