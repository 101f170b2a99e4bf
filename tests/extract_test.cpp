#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/folders.h"
#include "common/text.h"
#include "package/extract.h"
#include "package/hashing.h"
#include "package/parser.h"
#include "tests/support/failures.h"
#include "tests/support/files.h"
#include "tests/support/links.h"
#include "tests/support/package_builder.h"
#include "tests/support/shim.h"
#include "tests/support/shim_fixtures.h"

// Every test runs in a prefix of its own (the links they make must not be deleted from the
// Windows side), so nothing below C:\extract-test is cleaned up.

namespace fs = std::filesystem;
using testing::StartsWith;

namespace {

constexpr char LINK_REFUSAL[] = "Installation paths must not contain links or junctions";
constexpr char PACKAGE_REFUSAL[] = "Installer integrity check failed. Download a fresh copy.";
constexpr char FILE_REFUSAL[] = "Bundled file integrity check failed";
constexpr wchar_t STATUS[] = L"Installing application files...";

const fs::path SCRATCH = L"C:\\extract-test";

// A package image with true digests, and the digest that a wizard carrying it would expect.
struct Package {
    std::vector<unsigned char> image;
    std::string digest;
};

// Offsets of each entry's stored digest and of its data, in package order: a 12-byte header,
// then per entry 12 bytes of lengths, a 32-byte digest, the name and the data.
std::vector<std::pair<std::size_t, std::size_t>> entryOffsets(const std::vector<TestFile>& files)
{
    std::vector<std::pair<std::size_t, std::size_t>> offsets;
    std::size_t position = 12;
    for (const TestFile& file : files) {
        offsets.emplace_back(position + 12, position + 44 + file.name.size());
        position += 44 + file.name.size() + file.data.size();
    }
    return offsets;
}

void reseal(Package& package)
{
    package.digest = digestText(sha256(package.image.data(), package.image.size()));
}

// buildTestPackage fills the digest fields with placeholders; this stores each file's real one.
Package sealedPackage(const std::vector<TestFile>& files)
{
    Package package{buildTestPackage(files), {}};
    const auto offsets = entryOffsets(files);
    for (std::size_t index = 0; index < files.size(); ++index) {
        const std::vector<unsigned char> digest = sha256(files[index].data.data(), files[index].data.size());
        std::copy(digest.begin(), digest.end(), package.image.begin() + offsets[index].first);
    }
    reseal(package);
    return package;
}

// A report made on another thread than the one that asked for the extraction says so.
struct Reports {
    std::vector<std::pair<int, std::wstring>> calls;
    Progress callback()
    {
        return [this, caller = std::this_thread::get_id()](int percent, const std::wstring& status) {
            calls.emplace_back(percent, std::this_thread::get_id() == caller ? status : L"(another thread) " + status);
        };
    }
};

const Progress SILENT = [](int, const std::wstring&) {};

// More threads than this machine's cores, so that the threads' order varies from run to run.
constexpr unsigned THREADS = 4;

void extract(const Package& package, const fs::path& root, Progress progress = SILENT, unsigned threads = THREADS)
{
    extractImage(package.image.data(), package.image.size(), package.digest, root, std::move(progress), threads);
}

// Every file below root by its relative path with slashes, and its bytes.
std::map<std::string, std::string> filesBelow(const fs::path& root)
{
    std::map<std::string, std::string> files;
    for (const auto& item : fs::recursive_directory_iterator(root))
        if (item.is_regular_file())
            files[item.path().lexically_relative(root).generic_string()] = readFile(item.path());
    return files;
}

} // namespace

TEST(EmbeddedPackage, WritesEveryFileOfItsFolderByteForByte)
{
    const fs::path root = SCRATCH / L"embedded";
    Reports reports;
    extractPayload(root, reports.callback());

    const auto expected = filesBelow(fs::path(QM_EXTRACT_SAMPLE));
    ASSERT_EQ(expected.size(), 8u) << "the sample folder as checked in";
    EXPECT_EQ(filesBelow(root), expected);
    EXPECT_TRUE(reports.calls.empty()) << "fewer than 20 files report no progress";
}

TEST(Progress, ReportsEveryTwentiethFileOnItsWayFromTenTowardsSixtyFive)
{
    const auto reportsOf = [](int count) {
        std::vector<TestFile> files;
        for (int n = 0; n < count; ++n)
            files.push_back({"lib/part" + std::to_string(n % 7) + "/file" + std::to_string(n) + ".py", std::to_string(n)});
        Reports reports;
        extract(sealedPackage(files), SCRATCH / std::to_wstring(count), reports.callback());
        return reports.calls;
    };
    EXPECT_TRUE(reportsOf(19).empty());
    EXPECT_EQ(reportsOf(20), (std::vector<std::pair<int, std::wstring>>{{65, STATUS}}));

    const auto full = reportsOf(734);
    std::vector<std::pair<int, std::wstring>> expected;
    for (int n = 20; n <= 720; n += 20)
        expected.emplace_back(10 + 55 * n / 734, STATUS);
    EXPECT_EQ(full, expected);
    ASSERT_FALSE(full.empty());
    EXPECT_EQ(full.back().first, 63);
    EXPECT_EQ(filesBelow(SCRATCH / L"734").size(), 734u);

    // Beyond 1100 files two twentieths can share a percentage, which is reported once.
    std::vector<std::pair<int, std::wstring>> everyPercent;
    for (int percent = 10; percent <= 65; ++percent)
        everyPercent.emplace_back(percent, STATUS);
    EXPECT_EQ(reportsOf(1200), everyPercent);
}

TEST(Extract, CreatesAnEmptyFileEmpty)
{
    extract(sealedPackage({{"logs/empty.log", ""}, {"next.txt", "after the empty one"}}), SCRATCH / L"app");
    ASSERT_TRUE(fs::is_regular_file(SCRATCH / L"app/logs/empty.log"));
    EXPECT_EQ(fs::file_size(SCRATCH / L"app/logs/empty.log"), 0u);
    EXPECT_EQ(readFile(SCRATCH / L"app/next.txt"), "after the empty one");
}

TEST(Extract, StopsAtAFileThatIsAlreadyThereAndLeavesItAlone)
{
    // Deliberately not sorted: the package's own order decides what comes before the failure.
    const Package package = sealedPackage({{"z.txt", "first"}, {"server/b.txt", "second"}, {"a.txt", "third"}});
    for (const unsigned threads : {1u, THREADS}) {
        const fs::path root = SCRATCH / std::to_wstring(threads);
        put(root / L"server/b.txt", "kept");
        EXPECT_THAT(failureText([&] { extract(package, root, SILENT, threads); }),
                    StartsWith("Create application file (80)"));
        EXPECT_EQ(readFile(root / L"z.txt"), "first");
        EXPECT_EQ(readFile(root / L"server/b.txt"), "kept");
        if (threads == 1) {
            EXPECT_FALSE(fs::exists(root / L"a.txt")) << "a single thread starts nothing after the failure";
        }
    }
}

// However the threads run, the failure is that of the first entry in package order that fails,
// after every entry before it has been written; a corrupt file is never written.
TEST(Extract, NamesTheFirstFailingEntryInPackageOrder)
{
    std::vector<TestFile> files;
    for (int n = 0; n < 60; ++n)
        files.push_back({"part" + std::to_string(n % 3) + "/file" + std::to_string(n), "data " + std::to_string(n)});
    struct Case {
        const char* what;
        std::size_t existing, corrupt;
        const char* failure;
    };
    for (const Case& row : {Case{"an existing file before a corrupt one", 30, 45, "Create application file (80)"},
                            Case{"a corrupt file before an existing one", 45, 30, FILE_REFUSAL}}) {
        Package package = sealedPackage(files);
        package.image[entryOffsets(files)[row.corrupt].second] ^= 0x01;
        reseal(package);
        const fs::path root = SCRATCH / row.what;
        const auto target = [&](std::size_t n) { return root / fs::path(widen(files[n].name)).make_preferred(); };
        put(target(row.existing), "kept");

        EXPECT_THAT(failureText([&] { extract(package, root); }), StartsWith(row.failure)) << row.what;
        for (std::size_t n = 0; n < std::min(row.existing, row.corrupt); ++n)
            EXPECT_EQ(readFile(target(n)), files[n].data) << row.what << ", file " << n;
        EXPECT_EQ(readFile(target(row.existing)), "kept") << row.what;
        EXPECT_FALSE(fs::exists(target(row.corrupt))) << row.what;
    }
}

TEST(Integrity, AnyChangedByteOfThePackageStopsItBeforeAFolderIsMade)
{
    const Package original = sealedPackage({{"server/app.py", "print('hello')\n"}, {"b.bin", std::string("\0\x01\xFE\xFF", 4)}});
    const fs::path parent = SCRATCH / L"flipped";
    // Header, lengths, digests, names, data and the last byte: every byte of the image.
    for (std::size_t at = 0; at < original.image.size(); ++at) {
        Package changed = original;
        changed.image[at] ^= 0x01;
        EXPECT_EQ(failureText([&] { extract(changed, parent / L"app"); }), PACKAGE_REFUSAL) << "byte " << at;
        ASSERT_FALSE(fs::exists(parent)) << "byte " << at;
    }
    Package longer = original;
    longer.image.push_back(0);
    EXPECT_EQ(failureText([&] { extract(longer, parent / L"app"); }), PACKAGE_REFUSAL) << "one byte more";
    EXPECT_FALSE(fs::exists(parent));

    extract(original, parent / L"app");
    EXPECT_EQ(readFile(parent / L"app/server/app.py"), "print('hello')\n") << "the unchanged package installs";

    // Small files first, which other threads have hashed long before the package's digest is
    // known, and a large one last.
    std::vector<TestFile> files(40, TestFile{"", "small"});
    for (std::size_t n = 0; n < files.size(); ++n)
        files[n].name = "small/" + std::to_string(n);
    files.push_back({"large.bin", std::string(16 << 20, 'x')});
    Package large = sealedPackage(files);
    large.image.back() ^= 0x01;
    EXPECT_EQ(failureText([&] { extract(large, SCRATCH / L"large/app"); }), PACKAGE_REFUSAL);
    EXPECT_FALSE(fs::exists(SCRATCH / L"large"));
}

TEST(Integrity, AFileThatDiffersFromItsStoredDigestStopsAtThatFile)
{
    const std::vector<TestFile> files = {{"a.txt", "alpha"}, {"b.txt", "bravo"}, {"c.txt", "charlie"}};
    const auto offsets = entryOffsets(files);
    struct Case {
        const char* what;
        std::size_t at;
    };
    // The package digest is computed again each time, so only the file's own check can notice.
    for (const Case& change : {Case{"last byte of b's digest", offsets[1].first + 31},
                               Case{"first byte of b's digest", offsets[1].first},
                               Case{"b's data", offsets[1].second + 2}}) {
        Package package = sealedPackage(files);
        package.image[change.at] ^= 0x01;
        reseal(package);
        const fs::path root = SCRATCH / change.what;
        EXPECT_EQ(failureText([&] { extract(package, root); }), FILE_REFUSAL) << change.what;
        EXPECT_EQ(readFile(root / L"a.txt"), "alpha") << change.what;
        EXPECT_FALSE(fs::exists(root / L"b.txt")) << change.what;
        EXPECT_FALSE(fs::exists(root / L"c.txt")) << change.what;
    }
}

TEST(Integrity, AMalformedPackageWithTheRightDigestIsRefusedByTheParser)
{
    const Package package = sealedPackage({{"a.txt", "alpha"}, {"../escape.txt", "out"}});
    EXPECT_EQ(failureText([&] { extract(package, SCRATCH / L"app"); }), "Unsafe package path");
    EXPECT_FALSE(fs::exists(SCRATCH)) << "parsed before anything is written";
}

TEST(LinkGuard, RefusesALinkAboveATargetAndCreatesNothingBehindIt)
{
    const fs::path root = SCRATCH / L"app";
    const fs::path elsewhere = SCRATCH / L"elsewhere";
    put(elsewhere / L"precious.txt", "keep");
    fs::create_directories(root);
    makeDirectoryLink(root / L"linked", elsewhere);
    makeDirectoryLink(SCRATCH / L"via", elsewhere);

    EXPECT_EQ(failureText([&] { extract(sealedPackage({{"linked/new.txt", "x"}}), root); }), LINK_REFUSAL)
        << "the link as the target's folder";
    EXPECT_EQ(failureText([&] { extract(sealedPackage({{"linked/x/y/new.txt", "x"}}), root); }), LINK_REFUSAL)
        << "the link further up";
    EXPECT_EQ(failureText([&] { extract(sealedPackage({{"new.txt", "x"}}), SCRATCH / L"via/app"); }), LINK_REFUSAL)
        << "the link above the root";

    EXPECT_EQ(filesBelow(elsewhere), (std::map<std::string, std::string>{{"precious.txt", "keep"}}));
    EXPECT_EQ(std::distance(fs::directory_iterator(elsewhere), fs::directory_iterator()), 1);
}

using ExtractFaults = ShimUnloaded;

// Full disks and failing closes cannot be provoked on demand, so the shim fails the calls.
TEST_F(ExtractFaults, AFailedWriteShowsItsOwnCodeEvenWhenTheCloseFailsAfterIt)
{
    const Package package = sealedPackage({{"big.bin", std::string(4096, 'x')}});
    loadShim("fail WriteFile call=1 error=112 return=0\n"
             "fail CloseHandle call=1 error=6 return=0\n"
             "record CloseHandle args=p\n");
    const std::string failure = failureText([&] { extract(package, SCRATCH / L"app"); });
    const auto closes = recordedFields("CloseHandle", {"fault"});
    unloadShim();

    EXPECT_THAT(failure, StartsWith("Write application file (112)"));
    ASSERT_FALSE(closes.empty());
    EXPECT_EQ(closes.front(), "fault=yes") << "the file's handle is closed after the failed write, before the threads'";
}

TEST_F(ExtractFaults, AShortWriteIsAFailure)
{
    const Package package = sealedPackage({{"big.bin", std::string(4096, 'x')}, {"next.txt", "y"}});
    // Every WriteFile reports success without writing a byte.
    loadShim("fail WriteFile from=1 error=39 return=1\n");
    const std::string failure = failureText([&] { extract(package, SCRATCH / L"app"); });
    unloadShim();

    EXPECT_THAT(failure, StartsWith("Write application file (39)"));
}

TEST_F(ExtractFaults, AMissingOrUnreadableResourceIsNamed)
{
    loadShim("fail FindResourceW call=1 error=1813 return=0\n"
             "fail LoadResource call=1 error=1812 return=0\n");
    EXPECT_THAT(failureText([&] { extractPayload(SCRATCH / L"app", {}); }), StartsWith("Locate bundled application (1813)"));
    EXPECT_THAT(failureText([&] { extractPayload(SCRATCH / L"app", {}); }), StartsWith("Read bundled application (1812)"));
    EXPECT_FALSE(fs::exists(SCRATCH));
}

// Wine accepts paths of any length; with the shim loaded an ordinary path beyond MAX_PATH fails
// as it does on Windows.
using LongNames = ShimUnloaded;

TEST_F(LongNames, WritesA240CharacterNameBelowTheDefaultApplicationFolder)
{
    // Two long folders take the path past the 248 characters Windows allows a new folder, and
    // the file past the 260 of MAX_PATH.
    const std::string name = "server/" + std::string(120, 'd') + "/" + std::string(100, 'e') + "/" + std::string(11, 'f');
    ASSERT_EQ(name.size(), 240u);
    const Package package = sealedPackage({{"QuellmarkConsoleService.exe", "service"}, {name, "deep"}});
    const fs::path root = appDir();
    loadShim("");
    const std::string failure = failureText([&] { extract(package, root); });
    unloadShim();

    EXPECT_EQ(failure, "(no failure)");
    EXPECT_EQ(readFile(root / fs::path(widen(name)).make_preferred()), "deep");
    EXPECT_EQ(readFile(root / L"QuellmarkConsoleService.exe"), "service");
}
