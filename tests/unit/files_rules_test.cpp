// File rules of saving, importing and capturing.
#include "files/filerules.h"
#include "platform/paths.h"
#include "tests/support/fakes.h"
#include "tests/support/files.h"
#ifndef _WIN32
#include "tests/support/filesizelimit.h"
#endif
#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif
#include <vector>

namespace vellumix {
namespace {

namespace fs = std::filesystem;

TEST(FileRules, PlainDataFileNames) {
    const struct {
        std::string name;
        bool plain;
    } cases[] = {
        {"Vellumix_Temp.bmp", true},
        {"Vellumix 1.png", true},
        {".hidden.tif", true},
        {"", false},
        {".", false},
        {"..", false},
        {"../x.bmp", false},
        {"x..bmp", true},
        {"Vellumix_Temp..bmp", true},
        {"/etc/passwd", false},
        {"a/b", false},
        {"a\\b", false},
        {"..\\x.bmp", false},
        {"C:x", false},
        {"C:\\x.bmp", false},
        {"x.bmp:stream", false},
        {std::string("a\0b", 3), false},
        {"line\nbreak.bmp", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(isPlainDataFileName(c.name), c.plain) << '"' << c.name << '"';
}

TEST(FileRules, FolderOfChosenFile) {
    const struct {
        const char* fileName;
        const char* fileTitle;
        const char* folder;
    } cases[] = {
        {"/home/u/Documents/Vellumix 1.bmp", "Vellumix 1.bmp", "/home/u/Documents"},
        {"/x.bmp", "x.bmp", ""},
        {"x.bmp", "x.bmp", ""},
        {"x.bmp", "longer than the name.bmp", ""},
        {"", "", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(folderOfChosenFile(c.fileName, c.fileTitle), c.folder) << c.fileName;
}

TEST(FileRules, DataFolders) {
    const struct {
        const char* name;
        std::map<std::string, std::string> env;
        const char* base;
    } cases[] = {
#ifdef _WIN32
        {"AppData wins",
         {{"AppData", "C:\\Users\\u\\AppData\\Roaming"}, {"USERPROFILE", "C:\\p"}},
         "C:\\Users\\u\\AppData\\Roaming"},
        {"empty AppData is unset",
         {{"AppData", ""}, {"USERPROFILE", "C:\\Users\\u"}},
         "C:\\Users\\u\\AppData\\Roaming"},
        {"no XDG on Windows", {{"XDG_DATA_HOME", "C:\\xdg"}, {"HOME", "C:\\h"}}, ""},
#else
        {"AppData wins", {{"AppData", "/ad"}, {"XDG_DATA_HOME", "/xdg"}, {"HOME", "/h"}}, "/ad"},
        {"XDG data home", {{"XDG_DATA_HOME", "/xdg"}, {"HOME", "/h"}}, "/xdg"},
        {"empty AppData is unset", {{"AppData", ""}, {"HOME", "/h"}}, "/h/.local/share"},
        {"relative XDG ignored", {{"XDG_DATA_HOME", "rel"}, {"HOME", "/h"}}, "/h/.local/share"},
        {"home default", {{"HOME", "/h"}}, "/h/.local/share"},
#endif
        {"nothing known", {}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::ScriptedDesktop desktop;
        desktop.env = c.env;
        const std::string base = c.base;
        EXPECT_EQ(appDataBase(desktop), base);
        EXPECT_EQ(dataFolder(desktop), base.empty() ? "" : base + NativeSeparator + "Vellumix");
        EXPECT_EQ(updateTempFolder(desktop), base.empty() ? "" : base + NativeSeparator + "vbTemp");
    }
}

TEST(FileRules, DefaultSavePath) {
    test::ScratchDir withDocs, withoutDocs;
    const std::string a = withDocs.path().string(), b = withoutDocs.path().string();
    fs::create_directory(a + "/Documents");
    const struct {
        std::map<std::string, std::string> env;
        std::string expected;
    } cases[] = {
        {{{"USERPROFILE", a}, {"HOME", b}}, joinPath(a, "Documents")},
        {{{"HOME", a}}, joinPath(a, "Documents")},
        {{{"USERPROFILE", b}, {"HOME", a}}, joinPath(b, "My Documents")},
    };
    for (const auto& c : cases) {
        test::ScriptedDesktop desktop;
        desktop.env = c.env;
        EXPECT_EQ(defaultSavePath(desktop), c.expected);
    }
}

class FileCopyTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = dir_.path().string();
        src_ = root_ + "/src.bmp";
        dst_ = root_ + "/dst.bmp";
    }
    test::ScratchDir dir_;
    std::string root_, src_, dst_;
};

TEST_F(FileCopyTest, CopyReplacesDestinationByteForByte) {
    const std::string data("BM\0\r\n\x1a\xff", 7);
    test::writeFile(src_, data);
    test::writeFile(dst_, "old and longer than the new content");
    std::string error;
    ASSERT_TRUE(copyReplacing(src_, dst_, error)) << error;
    EXPECT_EQ(test::readFile(dst_), data);
    ASSERT_TRUE(copyReplacing(src_, root_ + "/new.bmp", error)) << error;
    EXPECT_EQ(test::readFile(root_ + "/new.bmp"), data);
    ASSERT_TRUE(copyReplacing(src_, src_, error)) << error;
    EXPECT_EQ(test::readFile(src_), data);
}

TEST_F(FileCopyTest, FailedCopyLeavesDestinationIntact) {
    test::writeFile(src_, "new");
    test::writeFile(dst_, "old");
    std::string error;
    EXPECT_FALSE(copyReplacing(root_ + "/missing.bmp", dst_, error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(test::readFile(dst_), "old");

    error.clear();
    EXPECT_FALSE(copyReplacing(src_, root_ + "/no/such/folder/x.bmp", error));
    EXPECT_FALSE(error.empty());

    // A destination under a file cannot be written even by root.
    error.clear();
    EXPECT_FALSE(copyReplacing(src_, dst_ + "/x.bmp", error));
    EXPECT_EQ(test::readFile(dst_), "old");
}

#ifndef _WIN32 // POSIX permissions, links and file size limits
TEST_F(FileCopyTest, ReadOnlyFolderKeepsOldDestination) {
    if (geteuid() == 0) GTEST_SKIP() << "root writes into read-only folders";
    const std::string folder = root_ + "/ro";
    fs::create_directory(folder);
    test::writeFile(folder + "/dst.bmp", "old");
    test::writeFile(src_, "new");
    fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
    std::string error;
    EXPECT_FALSE(copyReplacing(src_, folder + "/dst.bmp", error));
    EXPECT_FALSE(writeFileReplacing(folder + "/dst.bmp", "new", error));
    fs::permissions(folder, fs::perms::owner_all);
    EXPECT_EQ(test::readFile(folder + "/dst.bmp"), "old");
}
#endif

TEST_F(FileCopyTest, WriteFileReplacing) {
    std::string error;
    const std::string bytes("\x00\x01\n\r\n\xff", 6);
    test::writeFile(dst_, "previous content");
    ASSERT_TRUE(writeFileReplacing(dst_, bytes, error)) << error;
    EXPECT_EQ(test::readFile(dst_), bytes);
    ASSERT_TRUE(writeFileReplacing(dst_, "", error)) << error;
    EXPECT_EQ(fs::file_size(dst_), 0u);

    test::writeFile(dst_, "keep");
    EXPECT_FALSE(writeFileReplacing(dst_ + "/under-a-file", bytes, error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(test::readFile(dst_), "keep");
}

#ifndef _WIN32 // POSIX permissions, links and file size limits
// A replaced file keeps what the user set on it: its permissions, and a link stays a link to the same file.
TEST_F(FileCopyTest, ReplacingKeepsModeAndLinks) {
    std::string error;
    test::writeFile(dst_, "old");
    fs::permissions(dst_, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    ASSERT_TRUE(writeFileReplacing(dst_, "new", error)) << error;
    EXPECT_EQ(fs::status(dst_).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

    const std::string link = root_ + "/latest.bmp";
    fs::create_symlink(dst_, link);
    ASSERT_TRUE(writeFileReplacing(link, "through the link", error)) << error;
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(test::readFile(dst_), "through the link");
}
#endif

#ifndef _WIN32 // POSIX permissions, links and file size limits
// A disk that fills up while the file is written: the cause reaches the caller, the earlier file stays,
// and no temporary file is left behind. Small files fill the write buffer without touching the disk,
// large ones do not: both are asked.
TEST_F(FileCopyTest, FullDiskNamesItsCauseAndKeepsTheEarlierFile) {
    const struct {
        const char* name;
        std::size_t size;
        rlim_t room;
    } cases[] = {{"small", 500, 100}, {"large", 300000, 65536}, {"nothing fits", 4096, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::writeFile(dst_, "old");
        test::writeFile(src_, std::string(c.size, 'x'));
        std::string writeError, copyError;
        bool written = true, copied = true;
        {
            test::FileSizeLimit full(c.room);
            written = writeFileReplacing(dst_, std::string(c.size, 'x'), writeError);
            copied = copyReplacing(src_, dst_, copyError);
        }
        EXPECT_FALSE(written);
        EXPECT_FALSE(copied);
        EXPECT_EQ(writeError, "File too large");
        EXPECT_EQ(copyError, "File too large");
        EXPECT_EQ(test::readFile(dst_), "old");
        std::vector<std::string> left;
        for (const auto& e : fs::directory_iterator(root_))
            left.push_back(e.path().filename().string());
        std::sort(left.begin(), left.end());
        EXPECT_EQ(left, (std::vector<std::string>{"dst.bmp", "src.bmp"}));
    }
}
#endif

#ifdef _WIN32
// On Windows a file another program holds open (a viewer showing the last picture) cannot be replaced:
// the new bytes are refused with the reason, the earlier file stays, and no temporary file is left.
TEST_F(FileCopyTest, FileHeldOpenElsewhereKeepsTheEarlierFile) {
    test::writeFile(dst_, "old");
    test::writeFile(src_, "new");
    const std::wstring wide(dst_.begin(), dst_.end());
    const HANDLE held =
        CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::string writeError, copyError;
    const bool written = writeFileReplacing(dst_, "new bytes", writeError);
    const bool copied = copyReplacing(src_, dst_, copyError);
    CloseHandle(held);
    EXPECT_FALSE(written);
    EXPECT_FALSE(copied);
    EXPECT_FALSE(writeError.empty());
    EXPECT_EQ(test::readFile(dst_), "old");
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(root_))
        left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"dst.bmp", "src.bmp"}));
    // Once it is closed the replace goes through.
    ASSERT_TRUE(writeFileReplacing(dst_, "new bytes", writeError)) << writeError;
    EXPECT_EQ(test::readFile(dst_), "new bytes");
}
#endif

} // namespace
} // namespace vellumix
