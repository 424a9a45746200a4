// Reading the published versions file: items, this program's entry, version values.
#include "about/updatecheck.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vellumix {
namespace {

std::vector<std::string> items(std::string_view text) {
    std::vector<std::string> out;
    UpdateItemReader reader(text);
    while (auto item = reader.next())
        out.push_back(*item);
    return out;
}

using Items = std::vector<std::string>;

TEST(UpdateFile, ItemReader) {
    struct Case {
        std::string text;
        Items expected;
    };
    const Case cases[] = {
        {"", {}},
        {"   ", {}},
        {"a,b,c", {"a", "b", "c"}},
        {"a\nb\n", {"a", "b"}},
        {"a\r\nb\r\n", {"a", "b"}},
        {"a\rb", {"a", "b"}},
        {"  a,   b", {"a", "b"}},
        {"\ta", {"a"}},
        {"a  ,b", {"a  ", "b"}},
        {"a,,b", {"a", "", "b"}},
        {"a\n\nb", {"a", "", "b"}},
        {"\"x, y\",z", {"x, y", "z"}},
        {"  \"Vellumix: 1,3\"\r\nnext", {"Vellumix: 1,3", "next"}},
        {"\"quoted\" tail,after", {"quoted", "after"}},
        {"\"unterminated, to the end", {"unterminated, to the end"}},
        {"\"two\nlines\",x", {"two\nlines", "x"}},
        {"a,", {"a"}},
        {std::string("a\0b,c", 5), {std::string("a\0b", 3), "c"}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(items(c.text), c.expected) << '"' << c.text << '"';
}

TEST(UpdateFile, FindEntry) {
    struct Case {
        const char* text;
        const char* expected; // nullptr: no entry
    };
    const Case cases[] = {
        {"", nullptr},
        {"Other: 1.0, Another: 2.0", nullptr},
        {"Vellumix: 1.3", "Vellumix: 1.3"},
        {"Other: 1.0, VELLUMIX: 1.4", "VELLUMIX: 1.4"},
        {"Tool: 2.0\nmy vellumix tool: 1.5\nVellumix: 9.9", "my vellumix tool: 1.5"},
        {"   Vellumix: 1.3  ", "Vellumix: 1.3  "},
        {"Vellumix: 1,3", "Vellumix: 1"},
        {"\"Vellumix: 1,3\"", "Vellumix: 1,3"},
        {"Vellu\nmix", nullptr},
        {"Vellumi, x", nullptr},
    };
    for (const Case& c : cases) {
        const auto entry = findEntry(c.text, "Vellumix");
        if (c.expected) {
            ASSERT_TRUE(entry.has_value()) << c.text;
            EXPECT_EQ(*entry, c.expected) << c.text;
        } else {
            EXPECT_FALSE(entry.has_value()) << c.text;
        }
    }
}

TEST(UpdateFile, EntryVersionText) {
    EXPECT_EQ(entryVersionText("Vellumix: 1.3"), " 1.3");
    EXPECT_EQ(entryVersionText("Vellumix:1.3:beta"), "1.3:beta");
    EXPECT_EQ(entryVersionText("Vellumix 1.3"), "Vellumix 1.3");
    EXPECT_EQ(entryVersionText("Vellumix:"), "");
}

TEST(UpdateFile, VersionValue) {
    struct Case {
        const char* text;
        double expected;
    };
    const Case cases[] = {
        {"1.25", 1.25}, {" 1.3", 1.3},     {"\t1.3", 1.3},
        {"\n1.3", 1.3}, {"1 . 2 5", 1.25}, {"1,3", 1.0},
        {"abc", 0.0},   {"", 0.0},         {".5", 0.5},
        {"-1", -1.0},   {"+2", 2.0},       {"- 1.5", -1.5},
        {"1.2.3", 1.2}, {"1.3 beta", 1.3}, {"1.10", 1.1},
        {"007", 7.0},   {"1.", 1.0},       {".", 0.0},
        {"-", 0.0},     {"1e3", 1.0},      {"1\r3", 1.0},
        {"v1.3", 0.0},  {"2.0", 2.0},      {"12345678901234567890", 12345678901234567890.0},
    };
    for (const Case& c : cases)
        EXPECT_DOUBLE_EQ(versionValue(c.text), c.expected) << '"' << c.text << '"';
    EXPECT_LT(versionValue("1.10"), versionValue("1.9"));
}

// What box D shows of a published version text: the server's text must not make a box taller or
// wider than a screen, nor put control characters into it.
TEST(UpdateFile, ShownVersionText) {
    const std::string forty(40, '9');
    const struct {
        const char* name;
        std::string text;
        std::string shown;
    } cases[] = {
        {"plain, blank kept", " 1.3", " 1.3"},
        {"first line only", "1.3\n" + std::string(2000, '\n') + "evil", "1.3"},
        {"CR ends the line", "1.3\rmore", "1.3"},
        {"NUL and controls dropped",
         std::string("1.\0"
                     "3\x07\x1b[2J\x7f",
                     10),
         "1.3[2J"},
        {"exactly the bound", forty, forty},
        {"cut at the bound", forty + "12345", forty + "..."},
        {"empty", "", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(shownVersionText(c.text), c.shown) << c.name;

    const UpdateMessage m = updateMessage(UpdateOutcome::Newer, "1.25", "2.0\n\n\n\nline\0");
    EXPECT_EQ(m.text, "A newer version  ( 2.0 )  is available.\n\nGoto the Program Homepage to download ?");
}

} // namespace
} // namespace vellumix
