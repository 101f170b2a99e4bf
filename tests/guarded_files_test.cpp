#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "common/text.h"
#include "package/guarded_files.h"
#include "tests/support/failures.h"
#include "tests/support/files.h"
#include "tests/support/links.h"
#include "tests/support/shim.h"
#include "tests/support/shim_fixtures.h"

namespace fs = std::filesystem;

namespace {

constexpr char LINK_REFUSAL[] = "Installation paths must not contain links or junctions";

// A scratch area on C: with an ordinary tree, and a folder elsewhere that links may point to.
// Every test runs in a prefix of its own, so nothing is cleaned up afterwards: under Wine a
// Windows-side deletion follows the Linux links that these tests make.
class Scratch : public ShimUnloaded {
protected:
    void SetUp() override
    {
        put(root / L"tree/a.txt", "a");
        put(root / L"tree/deep/er/b.txt", "b");
        put(root / L"elsewhere/precious.txt", "keep me");
    }
    const fs::path root = L"C:\\guard-test";
};
using NoReparse = Scratch;
using RemoveTree = Scratch;
using ReadText = Scratch;
using WriteText = Scratch;

// Where a 240-character package name lands: below the default application folder, 283
// characters from the drive, with folders beyond the 248 characters that Windows allows a new
// folder without the \\?\ form.
const fs::path APPLICATION = L"C:\\Program Files\\Vostrel\\Quellmark Console";
const fs::path LONG_NAME = fs::path(L"server") / std::wstring(120, L'd') / std::wstring(100, L'e') / std::wstring(11, L'f');

// Wine accepts paths of any length. With the shim loaded, an ordinary path beyond MAX_PATH fails
// as it does on Windows.
class LongPaths : public Scratch {
protected:
    void SetUp() override
    {
        Scratch::SetUp();
        ASSERT_EQ((APPLICATION / LONG_NAME).wstring().size(), 283u);
        makeFoldersAtAnyLength((APPLICATION / LONG_NAME).parent_path());
    }
};

} // namespace

TEST_F(NoReparse, AcceptsOrdinaryAndMissingPaths)
{
    EXPECT_NO_THROW(noReparse(root / L"tree/deep/er/b.txt"));
    EXPECT_NO_THROW(noReparse(root / L"tree/not/yet/there.txt"));
    EXPECT_NO_THROW(noReparse(L"C:\\"));
}

TEST_F(NoReparse, RefusesALinkOnThePathOrAnyFolderAboveIt)
{
    makeDirectoryLink(root / L"linked", root / L"elsewhere");
    EXPECT_EQ(failureText([&] { noReparse(root / L"linked"); }), LINK_REFUSAL) << "the path itself";
    EXPECT_EQ(failureText([&] { noReparse(root / L"linked/new.txt"); }), LINK_REFUSAL) << "as the parent";
    EXPECT_EQ(failureText([&] { noReparse(root / L"linked/x/y/new.txt"); }), LINK_REFUSAL) << "as an ancestor";
}

TEST_F(RemoveTree, RemovesAnOrdinaryTreeAndToleratesAMissingOne)
{
    removeTree(root / L"tree");
    EXPECT_FALSE(fs::exists(root / L"tree"));
    EXPECT_TRUE(fs::exists(root / L"elsewhere/precious.txt"));
    EXPECT_NO_THROW(removeTree(root / L"never-was"));
}

TEST_F(RemoveTree, RefusesALinkAnywhereInsideAndDeletesNothing)
{
    makeDirectoryLink(root / L"tree/deep/er/link", root / L"elsewhere");
    EXPECT_EQ(failureText([&] { removeTree(root / L"tree"); }), LINK_REFUSAL);
    EXPECT_TRUE(fs::exists(root / L"tree/a.txt")) << "checked before the first deletion";
    EXPECT_TRUE(fs::exists(root / L"tree/deep/er/b.txt"));
    EXPECT_TRUE(fs::exists(root / L"elsewhere/precious.txt"));
}

TEST_F(RemoveTree, RefusesAFolderReachedThroughALink)
{
    makeDirectoryLink(root / L"linked", root / L"elsewhere");
    EXPECT_EQ(failureText([&] { removeTree(root / L"linked"); }), LINK_REFUSAL);
    EXPECT_TRUE(fs::exists(root / L"elsewhere/precious.txt"));
}

TEST_F(ReadText, ReturnsEveryByteAndNamesAMissingFile)
{
    const std::string bytes("line\r\nzero\0byte\n\xFF", 18);
    put(root / L"bytes.bin", bytes);
    EXPECT_EQ(readText(root / L"bytes.bin"), bytes);
    EXPECT_EQ(failureText([&] { readText(root / L"missing.txt"); }), "Cannot read C:\\guard-test\\missing.txt");
}

TEST_F(WriteText, ReplacesTheWholeFile)
{
    const fs::path file = root / L"console.ini";
    writeText(file, "[Console]\r\nPort=65535\r\nFirewall=1\r\n");
    EXPECT_EQ(readText(file), "[Console]\r\nPort=65535\r\nFirewall=1\r\n") << "no line break translated";
    writeText(file, "QuellmarkConsoleApp/1\n");
    EXPECT_EQ(fs::file_size(file), 22u) << "a line feed stays one byte";
    writeText(partialFile(file), "what a stopped run left, longer than the next text"); // not put in place
    writeText(file, "short");
    EXPECT_EQ(readText(file), "short");
    // Left where the partial file goes, a hard link to another file is not written through.
    ASSERT_TRUE(CreateHardLinkW(partialFile(file).c_str(), (root / L"elsewhere/precious.txt").c_str(), nullptr));
    writeText(file, "again");
    EXPECT_EQ(readText(file), "again");
    EXPECT_EQ(readText(root / L"elsewhere/precious.txt"), "keep me");
    writeText(file, "");
    EXPECT_EQ(fs::file_size(file), 0u);
}

TEST_F(WriteText, RefusesAPathThroughALinkWithoutCreatingTheFile)
{
    makeDirectoryLink(root / L"linked", root / L"elsewhere");
    EXPECT_EQ(failureText([&] { writeText(root / L"linked/product.txt", "x"); }), LINK_REFUSAL);
    EXPECT_FALSE(fs::exists(root / L"elsewhere/product.txt"));
}

TEST_F(WriteText, NamesAFileItCannotWrite)
{
    EXPECT_EQ(failureText([&] { writeText(root / L"no-such-folder\\x.txt", "x"); }),
              "Cannot write C:\\guard-test\\no-such-folder\\x.txt (2): File not found.\r\n");
}

TEST_F(LongPaths, MarkerFilesAreWrittenReplacedAndRead)
{
    const fs::path marker = APPLICATION / LONG_NAME;
    loadShim("");
    writeText(marker, "QuellmarkConsoleApp/1\n");
    EXPECT_EQ(readText(marker), "QuellmarkConsoleApp/1\n");
    writeText(marker, "x");
    EXPECT_EQ(readText(marker), "x");
    EXPECT_EQ(failureText([&] { readText(marker.parent_path() / L"missing.txt"); }),
              "Cannot read " + narrow((marker.parent_path() / L"missing.txt").wstring()));
}

TEST_F(LongPaths, TreeRemovalReachesEveryLevel)
{
    std::ofstream(fs::path(L"\\\\?\\" + (APPLICATION / LONG_NAME).wstring()), std::ios::binary) << "deep";
    put(APPLICATION / L"product.txt", "QuellmarkConsoleApp/1\n");
    loadShim("");
    removeTree(APPLICATION);
    unloadShim();
    EXPECT_FALSE(existsAtAnyLength(APPLICATION));
    EXPECT_TRUE(fs::exists(APPLICATION.parent_path()));
}

TEST_F(LongPaths, LinkGuardSeesALinkBeyondMaxPath)
{
    const fs::path link = (APPLICATION / LONG_NAME).parent_path() / L"linked";
    makeDirectoryLink(link, root / L"elsewhere");
    put(APPLICATION / L"product.txt", "QuellmarkConsoleApp/1\n");
    loadShim("");
    EXPECT_EQ(failureText([&] { noReparse(link / L"new.txt"); }), LINK_REFUSAL);
    EXPECT_EQ(failureText([&] { writeText(link / L"new.txt", "x"); }), LINK_REFUSAL);
    EXPECT_EQ(failureText([&] { removeTree(APPLICATION); }), LINK_REFUSAL);
    unloadShim();
    EXPECT_TRUE(fs::exists(APPLICATION / L"product.txt")) << "nothing deleted";
    EXPECT_TRUE(fs::exists(root / L"elsewhere/precious.txt"));
}

TEST_F(NoReparse, DoesNotPassAPathItCannotExamine)
{
    // A folder whose attributes cannot be read cannot be made under Wine; the shim fails the call.
    loadShim("fail GetFileAttributesW call=2 error=5 return=-1\n");
    const std::string text = failureText([&] { noReparse(root / L"tree/a.txt"); });
    unloadShim();
    EXPECT_THAT(text, testing::StartsWith("Check installation path (5)"));
}
