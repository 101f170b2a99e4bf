#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "common/text.h"
#include "package/hashing.h"
#include "package/package_digest.h"
#include "package/parser.h"
#include "tests/support/files.h"
#include "tests/support/processes.h"

namespace fs = std::filesystem;
using testing::HasSubstr;

namespace {

// Through the \\?\ form, so that names Windows would otherwise trim or treat as devices are made
// exactly as given.
void writeFile(const fs::path& file, const std::string& content)
{
    fs::create_directories(file.parent_path());
    const std::wstring literal = L"\\\\?\\" + file.wstring();
    HANDLE handle = CreateFileW(literal.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << narrow(file.wstring());
    DWORD written = 0;
    const BOOL ok = WriteFile(handle, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(handle);
    ASSERT_TRUE(ok && written == content.size());
}

// A file of the given length whose bytes are never written, so that it costs no disk space.
void writeLongFile(const fs::path& file, long long length)
{
    fs::create_directories(file.parent_path());
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    LARGE_INTEGER end{};
    end.QuadPart = length;
    const BOOL ok = SetFilePointerEx(handle, end, nullptr, FILE_BEGIN) && SetEndOfFile(handle);
    CloseHandle(handle);
    ASSERT_TRUE(ok);
}

std::string binaryBytes()
{
    std::string bytes;
    for (int i = 0; i < 512; ++i)
        bytes += static_cast<char>(i * 7);
    return bytes;
}

ProcessResult qmpack(const std::wstring& arguments)
{
    return runProcess(testProgramFolder() / L"qmpack.exe", arguments);
}

// qmpack refused what it was asked: exit code 1, and text in what it printed.
void expectRefusal(const ProcessResult& result, const std::string& text)
{
    EXPECT_EQ(result.exitCode, 1u) << result.output;
    EXPECT_THAT(result.output, HasSubstr(text));
}

std::wstring quoted(const fs::path& path)
{
    return quote(path.wstring());
}

class Packer : public ::testing::Test {
protected:
    void SetUp() override
    {
        wchar_t temp[MAX_PATH + 1];
        ASSERT_NE(GetTempPathW(MAX_PATH + 1, temp), 0u);
        root = fs::path(temp) / (L"qmpack-test-" + std::to_wstring(GetCurrentProcessId()));
        fs::remove_all(root);
        folder = root / L"console";
        package = root / L"out" / L"console.qmpack";
        digestSource = root / L"out" / L"package_digest.cpp";
        fs::create_directories(package.parent_path());
    }

    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(fs::path(L"\\\\?\\" + root.wstring()), ignored);
    }

    // The three paths that the wizard runs from, and nothing else.
    void writeConsole()
    {
        writeFile(folder / L"QuellmarkConsoleService.exe", binaryBytes());
        writeFile(folder / L"runtime" / L"python.exe", "MZ python");
        writeFile(folder / L"server" / L"backend" / L"app" / L"web.py", "app = object()\n");
    }

    ProcessResult pack() { return qmpack(L"pack " + quoted(folder) + L" " + quoted(package) + L" " + quoted(digestSource)); }

    fs::path root;
    fs::path folder;
    fs::path package;
    fs::path digestSource;
};

} // namespace

TEST_F(Packer, GivesBackEveryFileByteForByteSortedByBytes)
{
    writeConsole();
    const std::map<std::string, std::string> extra = {
        {"B.txt", "upper case sorts before the underscore"},
        {"_private", "the underscore sorts before lower case"},
        {"a.txt", "lower case"},
        {"empty.txt", ""},
        {"runtime/Lib/site-packages/pkg/deep/module.py", "x = 1\r\n"},
        {"server/backend/binary.dat", binaryBytes() + std::string(3, '\0')},
    };
    for (const auto& [name, content] : extra)
        writeFile(folder / fs::path(widen(name)).make_preferred(), content);
    fs::create_directories(folder / L"empty-folder" / L"inside");

    const ProcessResult result = pack();
    ASSERT_EQ(result.exitCode, 0u) << result.output;

    const std::string image = readFile(package);
    const auto* bytes = reinterpret_cast<const unsigned char*>(image.data());
    const std::vector<Entry> entries = parsePayload(bytes, image.size());
    std::vector<std::string> names;
    for (const Entry& entry : entries) {
        names.push_back(entry.name);
        const std::string data(entry.data, entry.data + entry.size);
        EXPECT_EQ(data, readFile(folder / fs::path(widen(entry.name)).make_preferred())) << entry.name;
        EXPECT_EQ(std::vector<unsigned char>(entry.digest, entry.digest + 32), sha256(data.data(), data.size()))
            << entry.name;
    }
    const std::vector<std::string> expected = {
        "B.txt", "QuellmarkConsoleService.exe", "_private", "a.txt", "empty.txt",
        "runtime/Lib/site-packages/pkg/deep/module.py", "runtime/python.exe", "server/backend/app/web.py",
        "server/backend/binary.dat"};
    EXPECT_EQ(names, expected) << "sorted by bytes, empty folders left out";
}

TEST_F(Packer, WritesTheDigestThatVerifyPrints)
{
    writeConsole();
    ASSERT_EQ(pack().exitCode, 0u);

    const std::string image = readFile(package);
    const std::string digest = digestText(sha256(image.data(), image.size()));
    EXPECT_EQ(readFile(digestSource),
              "#include \"package/package_digest.h\"\n\nconst char PACKAGE_DIGEST[] = \"" + digest + "\";\n");

    const ProcessResult verified = qmpack(L"verify " + quoted(package));
    EXPECT_EQ(verified.exitCode, 0u) << verified.output;
    EXPECT_THAT(verified.output, HasSubstr("package digest " + digest));

    EXPECT_EQ(qmpack(L"verify " + quoted(package) + L" " + widen(digest)).exitCode, 0u);
    std::string upper = digest;
    std::transform(upper.begin(), upper.end(), upper.begin(), [](char c) { return static_cast<char>(std::toupper(c)); });
    EXPECT_EQ(qmpack(L"verify " + quoted(package) + L" " + widen(upper)).exitCode, 0u);

    std::string other = digest;
    other[63] = other[63] == '0' ? '1' : '0';
    expectRefusal(qmpack(L"verify " + quoted(package) + L" " + widen(other)), "differs from the expected " + other);
    EXPECT_NE(qmpack(L"verify " + quoted(package) + L" 1234").exitCode, 0u);
    // An empty digest is a mistake, not the absence of one.
    expectRefusal(qmpack(L"verify " + quoted(package) + L" \"\""), "The expected digest must be 64 hexadecimal characters");
}

TEST_F(Packer, RewritesOutputsOnlyWhenTheirContentChanges)
{
    writeConsole();
    ASSERT_EQ(pack().exitCode, 0u);
    fs::last_write_time(package, fs::file_time_type::clock::now() - std::chrono::hours(48));
    fs::last_write_time(digestSource, fs::last_write_time(package));
    const fs::file_time_type past = fs::last_write_time(package); // as the file system keeps it

    const ProcessResult again = pack();
    ASSERT_EQ(again.exitCode, 0u) << again.output;
    EXPECT_EQ(fs::last_write_time(package), past);
    EXPECT_EQ(fs::last_write_time(digestSource), past);
    EXPECT_THAT(again.output, HasSubstr("unchanged"));

    const std::string before = readFile(package);
    writeFile(folder / L"runtime" / L"python.exe", "MZ python, rebuilt");
    ASSERT_EQ(pack().exitCode, 0u);
    EXPECT_NE(fs::last_write_time(package), past);
    EXPECT_NE(fs::last_write_time(digestSource), past);
    EXPECT_NE(readFile(package), before);
    EXPECT_FALSE(fs::exists(package.wstring() + L".partial"));
}

TEST_F(Packer, RefusesNamesThatTheWizardWouldRefuse)
{
    const struct {
        const wchar_t* file; // below the folder
        const char* reported;
    } cases[] = {
        {L"docs\\aux.txt", "\"docs/aux.txt\": Unsafe package path"},
        {L"server\\name.", "\"server/name.\": Unsafe package path"},
        {L"trailing space ", "\"trailing space \": Unsafe package path"},
        {L"lib\\\u00DCber.py", "\"lib/\xC3\x9C" "ber.py\": Unsafe package path character"},
        {L"runtime\\Lib\\com1.py", "\"runtime/Lib/com1.py\": Unsafe package path"},
        {L"docs\\nul .txt", "\"docs/nul .txt\": Unsafe package path"},
    };
    for (const auto& test : cases) {
        fs::remove_all(fs::path(L"\\\\?\\" + folder.wstring()));
        writeConsole();
        writeFile(folder / test.file, "x");
        expectRefusal(pack(), std::string("qmpack: Cannot pack ") + test.reported);
        EXPECT_FALSE(fs::exists(package)) << "nothing is written for a refused folder";
    }
}

TEST_F(Packer, NamesBothPathsOfAClashThatWindowsCannotHold)
{
    // Only a case-sensitive file system holds these folders; the build makes them on the Linux side.
    const struct {
        const char* folder;
        const char* reported;
    } cases[] = {
        {QM_CLASH_FOLDER, "qmpack: Cannot pack both \"Runtime\" and \"runtime/python.exe\": Duplicate package path"},
        {QM_CASE_FOLDER, "qmpack: Cannot pack both \"server/Lib/Foo.py\" and \"server/lib/foo.py\": Duplicate package path"},
    };
    for (const auto& test : cases)
        expectRefusal(qmpack(L"pack " + quoted(fs::path(L"Z:" + widen(test.folder)).make_preferred()) + L" " +
                             quoted(package)),
                      test.reported);
}

TEST_F(Packer, RefusesToWriteIntoTheFolderItPacks)
{
    writeConsole();
    // The second run would otherwise pack the first run's package into the new one. Windows
    // ignores letter case and ".." is resolved, so neither hides the folder.
    const fs::path inside = root / L"out" / L".." / L"CONSOLE" / L"console.qmpack";
    expectRefusal(qmpack(L"pack " + quoted(folder) + L" " + quoted(inside)),
                  "qmpack: Cannot write " + narrow(inside.wstring()) + ": it lies inside the folder being packed");
    EXPECT_FALSE(fs::exists(folder / L"console.qmpack"));

    const fs::path digestInside = folder / L"server" / L"package_digest.cpp";
    expectRefusal(qmpack(L"pack " + quoted(folder) + L" " + quoted(package) + L" " + quoted(digestInside)),
                  "qmpack: Cannot write " + narrow(digestInside.wstring()) + ": it lies inside the folder being packed");
    EXPECT_FALSE(fs::exists(package)) << "refused before anything is written";
}

TEST_F(Packer, NamesTheOutputWhoseFolderIsMissing)
{
    writeConsole();
    const fs::path missing = root / L"missing" / L"console.qmpack";
    const ProcessResult result = qmpack(L"pack " + quoted(folder) + L" " + quoted(missing));
    expectRefusal(result, "qmpack: Cannot write " + narrow(missing.wstring()) + ": the folder " +
                              narrow(missing.parent_path().wstring()) + " does not exist");
    EXPECT_EQ(result.output.find(".partial"), std::string::npos) << result.output;
}

TEST_F(Packer, RefusesAPathLongerThanAPackageNameMayBe)
{
    writeConsole();
    const std::wstring part(60, L'p');
    // "server/" and three 61-byte components make 190 bytes; the file's name brings it to 241.
    const fs::path deep = folder / L"server" / part / part / part / std::wstring(51, L'x');
    writeFile(deep, "x");
    expectRefusal(pack(), "its path is longer than 240 bytes");

    fs::remove(fs::path(L"\\\\?\\" + deep.wstring()));
    writeFile(deep.parent_path() / std::wstring(50, L'x'), "x"); // exactly 240 bytes
    const ProcessResult fits = pack();
    EXPECT_EQ(fits.exitCode, 0u) << fits.output;
}

TEST_F(Packer, RefusesAFolderThatLacksWhatTheWizardRuns)
{
    const struct {
        const wchar_t* removed;
        const char* reported;
        const wchar_t* added = nullptr; // where the removed file is put instead
    } cases[] = {
        {L"QuellmarkConsoleService.exe", "lacks QuellmarkConsoleService.exe at its root"},
        {L"QuellmarkConsoleService.exe", "lacks QuellmarkConsoleService.exe at its root", L"bin\\QuellmarkConsoleService.exe"},
        {L"runtime\\python.exe", "lacks runtime/python.exe"},
        {L"server\\backend", "lacks the folder server/backend"},
    };
    for (const auto& test : cases) {
        fs::remove_all(folder);
        writeConsole();
        writeFile(folder / L"server" / L"other.txt", "keeps server/ itself");
        fs::remove_all(folder / test.removed);
        if (test.added != nullptr)
            writeFile(folder / test.added, "MZ service");
        expectRefusal(pack(), test.reported);
    }
}

TEST_F(Packer, RefusesFoldersBeyondThePackageLimits)
{
    fs::create_directories(folder / L"only" / L"folders");
    expectRefusal(pack(), "The folder holds no files");

    writeConsole();
    writeLongFile(folder / L"big.bin", 256ll * 1024 * 1024 + 1);
    expectRefusal(pack(), "\"big.bin\": it is larger than 256 MiB");

    // Three files within the file limit that together exceed the package limit; they are refused
    // before a byte of them is read.
    fs::remove(folder / L"big.bin");
    for (const wchar_t* name : {L"one.bin", L"two.bin", L"three.bin"})
        writeLongFile(folder / name, 200ll * 1024 * 1024);
    expectRefusal(pack(), "a package holds at most 512 MiB");
}

TEST_F(Packer, RefusesSymbolicLinks)
{
    // Wine cannot make links itself, so the build makes this folder with a Linux symbolic link to
    // a folder in it (a link to a file looks like a plain file under Wine). Wine shows / as Z:.
    const fs::path linked = fs::path(L"Z:" + widen(QM_LINK_FOLDER)).make_preferred();
    ASSERT_TRUE(fs::exists(linked / L"runtime" / L"python.exe"));
    expectRefusal(qmpack(L"pack " + quoted(linked) + L" " + quoted(package)),
                  "\"server/linked-folder\": symbolic links and junctions are not packed");
}

TEST_F(Packer, VerifyCatchesAFlippedByte)
{
    writeConsole();
    ASSERT_EQ(pack().exitCode, 0u);
    std::string image = readFile(package);
    const std::vector<Entry> entries =
        parsePayload(reinterpret_cast<const unsigned char*>(image.data()), image.size());
    ASSERT_EQ(entries[1].name, "runtime/python.exe");
    const auto dataOffset = static_cast<size_t>(entries[1].data - reinterpret_cast<const unsigned char*>(image.data()));
    const auto nameOffset = dataOffset - entries[1].name.size();

    std::string flipped = image;
    flipped[dataOffset + 3] ^= 0x01;
    writeFile(package, flipped);
    expectRefusal(qmpack(L"verify " + quoted(package)), "\"runtime/python.exe\" does not match its stored digest");

    flipped = image;
    flipped[nameOffset + 7] = ':'; // "runtime:python.exe"
    writeFile(package, flipped);
    expectRefusal(qmpack(L"verify " + quoted(package)), "qmpack: Unsafe package path character");
}

TEST_F(Packer, ListsEveryEntryAndATotal)
{
    writeConsole();
    ASSERT_EQ(pack().exitCode, 0u);
    const ProcessResult listed = qmpack(L"list " + quoted(package));
    ASSERT_EQ(listed.exitCode, 0u) << listed.output;
    const std::string service = digestText(sha256(binaryBytes().data(), binaryBytes().size()));
    EXPECT_THAT(listed.output, HasSubstr("         512 " + service + " QuellmarkConsoleService.exe"));
    EXPECT_THAT(listed.output, HasSubstr("runtime/python.exe"));
    EXPECT_THAT(listed.output, HasSubstr("3 files, 536 bytes of file data, package " +
                                         std::to_string(fs::file_size(package)) + " bytes"));
    expectRefusal(qmpack(L"list " + quoted(root / L"missing.qmpack")), "qmpack: Cannot read ");
}

TEST_F(Packer, NamesAFileThatIsNoPackage)
{
    const fs::path notes = root / L"notes.txt";
    writeFile(notes, "not a package");
    for (const wchar_t* command : {L"list ", L"verify "})
        expectRefusal(qmpack(command + quoted(notes)), "qmpack: Invalid package header in " + narrow(notes.wstring()));
}

TEST_F(Packer, UsageNamesWhatAConsoleFolderMustHold)
{
    const ProcessResult result = qmpack(L"");
    EXPECT_EQ(result.exitCode, 2u);
    for (const char* required : {"QuellmarkConsoleService.exe", "runtime/python.exe", "server/backend"})
        EXPECT_THAT(result.output, HasSubstr(required));
}

TEST(PackedByTheBuild, DefinesTheDigestOfItsPackage)
{
    const std::string image = readFile(fs::path(L"Z:" + widen(QM_HOOK_PACKAGE)).make_preferred());
    ASSERT_FALSE(image.empty());
    EXPECT_EQ(PACKAGE_DIGEST, digestText(sha256(image.data(), image.size())));
    const std::vector<Entry> entries = parsePayload(reinterpret_cast<const unsigned char*>(image.data()), image.size());
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[2].name, "server/backend/app/web.py");
}
