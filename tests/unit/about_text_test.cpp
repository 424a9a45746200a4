// Version text, caption and mailto link.
#include "about/mailto.h"
#include "about/version.h"

#include <gtest/gtest.h>

namespace vellumix {
namespace {

TEST(AboutText, VersionText) {
    struct Case {
        int major, minor, revision;
        const char* expected;
    };
    const Case cases[] = {
        {1, 2, 5, "1.25"}, {1, 2, 0, "1.2"},   {2, 0, 0, "2.0"},    {1, 10, 0, "1.10"}, {10, 0, 0, "10.0"},
        {0, 0, 0, "0.0"},  {1, 0, 10, "1.01"}, {3, 4, 12, "3.412"}, {1, 20, 0, "1.20"}, {10, 1, 1, "10.11"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(versionText(c.major, c.minor, c.revision), c.expected)
            << c.major << "." << c.minor << "." << c.revision;
    }
}

TEST(AboutText, BuildVersionAndCaption) {
    EXPECT_EQ(buildVersionText(), "1.25");
    EXPECT_EQ(titleText(buildVersionText(), AppDate), "Vellumix, v1.25 - Dec 2024 / QZ");
    EXPECT_EQ(titleText("12.345", "January 2031"), "Vellumix, v12.345 - January 2031 / QZ");
}

TEST(AboutText, MailtoLink) {
    struct Case {
        const char* address;
        const char* subject;
        const char* body;
        const char* expected;
    };
    const Case cases[] = {
        {"a@b.org", "Vellumix", "", "mailto:a@b.org?subject=Vellumix"},
        {"a@b.org", "", "", "mailto:a@b.org"},
        {"a@b.org", "", "hello", "mailto:a@b.org?body=hello"},
        {"a@b.org", "S", "B", "mailto:a@b.org?subject=S&body=B"},
        {"mailto:a@b.org", "S", "", "mailto:a@b.org?subject=S"},
        {"MailTo:a@b.org", "", "", "MailTo:a@b.org"},
        {"MAILTO:a@b.org", "", "", "MAILTO:a@b.org"},
        // No percent-encoding: blanks, ampersands and question marks go through as they are.
        {"a@b.org", "two words", "x & y?", "mailto:a@b.org?subject=two words&body=x & y?"},
        // Shorter than the prefix, or the prefix without its colon.
        {"mail", "", "", "mailto:mail"},
        {"mailto", "", "", "mailto:mailto"},
        {"", "", "", "mailto:"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(mailtoLink(c.address, c.subject, c.body), c.expected) << c.address;
    }
}

} // namespace
} // namespace vellumix
