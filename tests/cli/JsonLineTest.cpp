#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "cli/EntryJson.h"

namespace vel::cli {
namespace {

// Names from damaged disks are arbitrary bytes: whatever the line holds must parse, keep every
// well-formed character, and show each bad sequence as one U+FFFD.
TEST(JsonLine, NamesOfAnyBytesMakeValidJson) {
    const std::string kBad = "\xEF\xBF\xBD";
    struct Case {
        std::string in, parsed;
    } cases[] = {
        {"plain.txt", "plain.txt"},
        {"quote\" back\\slash", "quote\" back\\slash"},
        {std::string("ctl\x01\x1f\n\t\r\b\f\x7f", 12),
         std::string("ctl\x01\x1f\n\t\r\b\f\x7f", 12)},
        {std::string("nul\0in", 6), std::string("nul\0in", 6)},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"lone\xFFz", "lone" + kBad + "z"},
        {"cut\xE2\x82", "cut" + kBad},                    // truncated at the end
        {"cut\xE2\x82z", "cut" + kBad + "z"},             // one mark for the started sequence
        {"\xC0\xAF", kBad + kBad},                        // overlong
        {"\xED\xA0\x80", kBad + kBad + kBad},             // a surrogate
        {"\xF4\x90\x80\x80", kBad + kBad + kBad + kBad},  // past U+10FFFF
        {"\xF0\x9F\x98", kBad},
        {"\x80\x80", kBad + kBad},
    };
    for (const Case& c : cases) {
        std::string out;
        appendJsonString(out, c.in);
        nlohmann::json parsed;
        ASSERT_NO_THROW(parsed = nlohmann::json::parse(out)) << out;
        EXPECT_EQ(parsed.get<std::string>(), c.parsed) << out;
    }

    JsonLine line;
    line.add("b", true).add("n", std::uint64_t{18446744073709551615u}).add("i", std::int64_t{-3});
    line.add("s", "x");
    const std::string& text = line.text();
    ASSERT_EQ(text.back(), '\n');
    auto j = nlohmann::json::parse(text);
    EXPECT_EQ(j["b"], true);
    EXPECT_EQ(j["n"].get<std::uint64_t>(), 18446744073709551615u);
    EXPECT_EQ(j["i"], -3);
    EXPECT_EQ(j["s"], "x");
}

}  // namespace
}  // namespace vel::cli
