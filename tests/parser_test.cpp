#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "package/names.h"
#include "package/parser.h"
#include "tests/support/failures.h"
#include "tests/support/package_builder.h"

namespace {

// The parser's message for an image, or "accepted".
std::string verdict(const std::vector<unsigned char>& image, unsigned long long length)
{
    const std::string text = failureText([&] { parsePayload(image.data(), length); });
    return text == "(no failure)" ? "accepted" : text;
}

std::string verdict(const std::vector<unsigned char>& image)
{
    return verdict(image, image.size());
}

std::string verdictForName(const std::string& name)
{
    return verdict(buildTestPackage({{name, "x"}}));
}

// A valid header and a file count, nothing after it.
std::vector<unsigned char> headerOnly(std::uint32_t count)
{
    std::vector<unsigned char> image = buildTestPackage({}, count);
    EXPECT_EQ(image.size(), 12u);
    return image;
}

} // namespace

TEST(PackageHeader, RefusesWrongLengthsMagicAndCounts)
{
    std::vector<unsigned char> badMagic = headerOnly(1);
    badMagic[7] = ' ';
    std::vector<unsigned char> otherVersion = headerOnly(1);
    otherVersion[6] = '2';

    EXPECT_EQ(verdict(headerOnly(0), 11), "Invalid package header");
    EXPECT_EQ(verdict(badMagic), "Invalid package header");
    EXPECT_EQ(verdict(otherVersion), "Invalid package header");
    EXPECT_EQ(verdict(headerOnly(0)), "Invalid file count");
    EXPECT_EQ(verdict(headerOnly(1)), "Truncated package");
    EXPECT_EQ(verdict(headerOnly(30001)), "Invalid file count");
    EXPECT_EQ(verdict(headerOnly(0xFFFFFFFF)), "Invalid file count");
}

TEST(PackageHeader, JudgesTheLengthBeforeReadingAnything)
{
    // Only 12 bytes exist, and the parser is told of 512 MiB or one byte more. This is safe: the
    // header is valid and its count is 0, so a parser that read on would stop at "Invalid file
    // count" without touching a byte past the 12th.
    const std::vector<unsigned char> image = headerOnly(0);
    EXPECT_EQ(verdict(image, 512ull * 1024 * 1024), "Invalid file count") << "512 MiB is allowed";
    EXPECT_EQ(verdict(image, 512ull * 1024 * 1024 + 1), "Invalid package header");
    EXPECT_EQ(verdict(image, ~0ull), "Invalid package header");
}

TEST(PackageHeader, AcceptsTheLargestFileCount)
{
    std::vector<TestFile> files;
    for (int i = 0; i < 30000; ++i)
        files.push_back({std::to_string(i) + ".txt", ""});
    const std::vector<unsigned char> image = buildTestPackage(files);
    EXPECT_EQ(parsePayload(image.data(), image.size()).size(), 30000u);
    EXPECT_EQ(verdict(buildTestPackage(files, 30001)), "Invalid file count");
}

TEST(PackageEntries, ComeBackInOrderPointingIntoTheImage)
{
    const std::vector<unsigned char> image =
        buildTestPackage({{"server/backend/app/web.py", "print(1)\n"}, {"empty.txt", ""}, {"Readme.TXT", "R"}});
    const std::vector<Entry> entries = parsePayload(image.data(), image.size());
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].name, "server/backend/app/web.py");
    EXPECT_EQ(entries[1].name, "empty.txt");
    EXPECT_EQ(entries[2].name, "Readme.TXT") << "case is kept";

    const unsigned char* first = image.data() + 12;
    EXPECT_EQ(entries[0].digest, first + 12);
    EXPECT_EQ(entries[0].data, first + 44 + 25);
    EXPECT_EQ(std::string(entries[0].data, entries[0].data + entries[0].size), "print(1)\n");
    EXPECT_EQ(entries[1].digest[0], 1) << "the second entry's own digest";
    EXPECT_EQ(entries[1].size, 0u);
    EXPECT_EQ(entries[1].data, entries[1].digest + 32 + 9) << "an empty file's data starts just past its name";
    EXPECT_EQ(entries[2].data + 1, image.data() + image.size());
}

TEST(PackageEntries, CheckNameAndDataLengthLimits)
{
    const std::string longest(240, 'n');
    EXPECT_EQ(verdict(buildTestPackage({{longest, "x"}})), "accepted");
    EXPECT_EQ(verdict(buildTestPackage({{longest + "n", "x"}})), "Invalid package entry") << "even though present";

    const std::uint64_t limit = 256ull * 1024 * 1024;
    const struct {
        TestFile file;
        const char* expected;
    } cases[] = {
        {{"a", "", 0u, {}}, "Invalid package entry"},
        {{"a", "", 0xFFFFFFFFu, {}}, "Invalid package entry"},
        {{"a", "", {}, limit + 1}, "Invalid package entry"},
        {{"a", "", {}, limit}, "Truncated file"},             // the limit itself passes the entry test
        {{"a", "", {}, 1ull << 32}, "Invalid package entry"},  // only the high half set
        {{"a", "", {}, ~0ull}, "Invalid package entry"},
    };
    for (const auto& test : cases)
        EXPECT_EQ(verdict(buildTestPackage({test.file})), test.expected)
            << "name length " << test.file.storedNameLength.value_or(1) << ", data length "
            << test.file.storedDataLength.value_or(0);
}

TEST(PackageEntries, ReportTruncationByTheFieldItFallsIn)
{
    // Cut a two-entry image at every length: the message names the field that runs short.
    const std::vector<unsigned char> image = buildTestPackage({{"one.txt", "first"}, {"dir/two.bin", "second!"}});
    const unsigned long long second = 12 + 44 + 7 + 5;
    ASSERT_EQ(image.size(), second + 44 + 11 + 7);
    for (unsigned long long length = 12; length < image.size(); ++length) {
        const unsigned long long entryStart = length < second ? 12 : second;
        const unsigned long long nameLength = length < second ? 7 : 11;
        const unsigned long long into = length - entryStart;
        const char* expected = into < 12                ? "Truncated package"
                               : into < 44              ? "Invalid package entry"
                               : into < 44 + nameLength ? "Truncated path"
                                                        : "Truncated file";
        EXPECT_EQ(verdict(image, length), expected) << "cut after " << length << " bytes";
    }
    EXPECT_EQ(verdict(image), "accepted");
    EXPECT_EQ(verdict(buildTestPackage({{"a", "1"}, {"A", "2", {}, 2}})), "Truncated file")
        << "the lengths are judged before the name";
}

TEST(PackageEntries, MustAccountForEveryByte)
{
    std::vector<unsigned char> extra = buildTestPackage({{"a", "1"}, {"b", "2"}});
    extra.push_back(0);
    EXPECT_EQ(verdict(extra), "Trailing package data");
    EXPECT_EQ(verdict(buildTestPackage({{"a", "1"}, {"b", "2"}}, 1)), "Trailing package data");
    EXPECT_EQ(verdict(buildTestPackage({{"a", "1"}, {"b", "2"}}, 3)), "Truncated package");
}

// Each name is judged alone, as the only entry of a package.
struct NameVerdicts {
    const char* expected;
    std::vector<std::string> names;
};

void expectVerdicts(const std::vector<NameVerdicts>& groups)
{
    for (const NameVerdicts& group : groups)
        for (const std::string& name : group.names)
            EXPECT_EQ(verdictForName(name), group.expected) << '"' << name << '"';
}

TEST(PackagePaths, AcceptOnlySafeRelativeWindowsPaths)
{
    expectVerdicts({
        {"accepted", {"a/b", "runtime/Lib/site-packages/x.py", " leading space"}},
        // "a//": the empty component is met before the final slash.
        {"Unsafe package path", {"/a", "/", "a//b", "a//", "a/./b", "a/../b", "..", "a/.", "a/b.", "a/b ", "a./b"}},
        {"Invalid file path", {"a/", "a/b/"}},
        {"Unsafe package path character",
         {"a\\b", "c:/a", "a/b:stream", "a*b", "a?b", "a\"b", "a<b", "a>b", "a|b", "a\tb", "a\x7F",
          "Lib/\xC3\x9C" "ber.py"}},
        // Components are judged first to last.
        {"Unsafe package path", {"aux/b:"}},
        {"Unsafe package path character", {"a:/aux"}},
    });
}

TEST(PackagePaths, RefuseDeviceNamesWhateverTheExtension)
{
    expectVerdicts({
        {"Unsafe package path", {"docs/AUX.md", "LPT1", "x/com9.bin", "CON.txt", "nul.tar.gz", "Com3.log", "prn/readme"}},
        // Windows drops blanks at the end of the stem before it looks for a device name.
        {"Unsafe package path", {"nul .txt", "com1 .log", "x/Aux   .tar.gz", "lpt9 /readme", "con ."}},
        {"accepted",
         {"nul x.txt", "com1x .log", "auxiliary.md", "com0", "com10", "console", "lpt", "lpt0.txt", "x.con"}},
    });
}

TEST(PackagePaths, RefuseNamesThatDifferOnlyInLetterCase)
{
    EXPECT_EQ(verdict(buildTestPackage({{"Lib/Foo.py", "1"}, {"lib/foo.py", "2"}})), "Duplicate package path");
    EXPECT_EQ(verdict(buildTestPackage({{"a/b", "1"}, {"a/b", "1"}})), "Duplicate package path");
    EXPECT_EQ(verdict(buildTestPackage({{"Zip/A.py", "1"}, {"zip/a.py", "2"}})), "Duplicate package path")
        << "A and Z, the ends of the folded range";
    EXPECT_EQ(verdict(buildTestPackage({{"Lib/Foo.py", "1"}, {"lib/foo.pyc", "2"}})), "accepted");
}

TEST(PackagePaths, RefuseAFileNamedLikeAFolderOfAnotherEntry)
{
    // A tree from a case-sensitive file system can hold both; Windows can hold only one of them.
    const struct {
        std::vector<TestFile> files;
        const char* expected;
    } cases[] = {
        {{{"Runtime", "1"}, {"runtime/python.exe", "2"}}, "Duplicate package path"},
        {{{"runtime/python.exe", "1"}, {"Runtime", "2"}}, "Duplicate package path"},
        {{{"a/b/c/d.txt", "1"}, {"A/B", "2"}}, "Duplicate package path"},
        {{{"a/B", "1"}, {"x", "2"}, {"a/b/c/d.txt", "3"}}, "Duplicate package path"},
        {{{"a/b", "1"}, {"a/bc/d", "2"}, {"a.b/c", "3"}, {"ab", "4"}}, "accepted"},
        {{{"runtime.txt", "1"}, {"runtime/python.exe", "2"}}, "accepted"},
    };
    for (const auto& test : cases)
        EXPECT_EQ(verdict(buildTestPackage(test.files)), test.expected) << test.files[0].name;
}

TEST(PackagePaths, JudgeDuplicatesBeforeTheOtherRules)
{
    // Every rule gives the same answer for names that differ only in letter case, so within one
    // package the first of two such names has already been refused if it was unsafe. The order
    // shows where the parser and the packer share it: a name already recorded.
    std::set<std::string> folded = {"aux/x."};
    const auto admitted = [&](const std::string& name) -> std::string {
        const std::string text = failureText([&] { admitPackageName(folded, name); });
        return text == "(no failure)" ? "accepted" : text;
    };
    EXPECT_EQ(admitted("AUX/X."), "Duplicate package path");
    EXPECT_EQ(admitted("aux/y"), "Unsafe package path");
    EXPECT_EQ(admitted("b/Y"), "accepted");
    EXPECT_EQ(admitted("B/y"), "Duplicate package path");
}
