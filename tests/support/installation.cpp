#include "tests/support/installation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <stdexcept>

#include "common/folders.h"
#include "common/handles.h"
#include "common/product.h"
#include "common/text.h"
#include "tests/support/headless.h"
#include "tests/support/http_get.h"
#include "tests/support/processes.h"
#include "tests/support/shim.h"

namespace fs = std::filesystem;

namespace {

// Every file and folder below root, as paths relative to it.
std::vector<fs::path> tree(const fs::path& root)
{
    std::vector<fs::path> found;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        found.push_back(fs::relative(entry.path(), root));
    std::sort(found.begin(), found.end());
    return found;
}

std::vector<std::string> added(const std::vector<fs::path>& paths)
{
    std::vector<std::string> lines;
    for (const fs::path& p : paths)
        lines.push_back("+ " + narrow(p.wstring()));
    return lines;
}

std::vector<fs::path> dataPaths()
{
    const fs::path data = dataDir();
    return {data.parent_path(), data, data / L"data", data / L"logs", data / L"logs" / L"console.log",
            data / L"product.txt"};
}

} // namespace

fs::path sampleFolder()
{
    return testProgramFolder() / QM_SAMPLE_FOLDER;
}

std::string readBytes(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return "(missing)";
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> logEvents(const fs::path& log)
{
    std::vector<std::string> found;
    std::istringstream lines(readBytes(log));
    for (std::string line; std::getline(lines, line);) {
        if (line.ends_with('\r'))
            line.pop_back();
        if (line.starts_with("    ") && !found.empty())
            found.back().append("\n").append(line, 4);
        else
            found.push_back(line.size() > 21 ? line.substr(21) : line);
    }
    return found;
}

void writeBytes(const fs::path& file, const std::string& bytes)
{
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

void expectApplicationFiles(const std::string& settings)
{
    const fs::path application = appDir();
    std::vector<fs::path> expected = tree(sampleFolder());
    for (const wchar_t* own : {L"Uninstall.exe", L"console.ini", L"product.txt"})
        expected.push_back(own);
    std::sort(expected.begin(), expected.end());
    ASSERT_EQ(tree(application), expected);
    for (const fs::path& file : tree(sampleFolder())) {
        if (fs::is_regular_file(sampleFolder() / file)) {
            EXPECT_EQ(readBytes(application / file), readBytes(sampleFolder() / file)) << file.string();
        }
    }
    EXPECT_TRUE(readBytes(application / L"Uninstall.exe") == readBytes(headlessProgram()))
        << "the uninstaller is the running program";
    EXPECT_EQ(readBytes(application / L"console.ini"), settings);
    EXPECT_EQ(readBytes(application / L"product.txt"), "QuellmarkConsoleApp/1\n");
}

std::string withPort(std::string text, unsigned port)
{
    for (std::size_t at = text.find("{port}"); at != std::string::npos; at = text.find("{port}", at))
        text.replace(at, 6, std::to_string(port));
    return text;
}

int healthAnswer(unsigned port)
{
    return httpGet(port, "/api/v1/health").status;
}

std::wstring uninstallValue(const wchar_t* name)
{
    wchar_t value[1024] = {};
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, UNINSTALL_KEY, name, RRF_RT_REG_SZ | RRF_SUBKEY_WOW6464KEY, nullptr, value,
                     &size) != ERROR_SUCCESS)
        return {};
    return value;
}

std::vector<std::string> firewallCalls()
{
    // Rule objects are numbered per process; the name and port were set on the object itself.
    std::map<std::pair<DWORD, std::string>, std::map<std::string, std::string>> rules;
    std::vector<std::string> calls;
    for (const ShimRecord& record : readShimRecords()) {
        if (record.function == "INetFwRule::put_Name" || record.function == "INetFwRule::put_LocalPorts")
            rules[{record.process, record["object"]}][record.function] = record["value"];
        else if (record.function == "INetFwRules::Add")
            calls.push_back("Add " + rules[{record.process, record["rule"]}]["INetFwRule::put_Name"] + " " +
                            rules[{record.process, record["rule"]}]["INetFwRule::put_LocalPorts"]);
        else if (record.function == "INetFwRules::Remove")
            calls.push_back("Remove " + record["name"]);
    }
    return calls;
}

std::vector<std::string> dataFolderFootprint()
{
    std::vector<std::string> lines = added(dataPaths());
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::vector<std::string> installationFootprint()
{
    const fs::path application = appDir();
    std::vector<fs::path> paths = dataPaths();
    paths.push_back(application.parent_path());
    paths.push_back(application);
    for (const fs::path& file : tree(sampleFolder()))
        paths.push_back(application / file);
    for (const wchar_t* own : {L"Uninstall.exe", L"console.ini", L"product.txt"})
        paths.push_back(application / own);
    for (const wchar_t* shortcut : {L"", L"Open Console.url", L"Installation manual.url"})
        paths.push_back(*shortcut ? shortcuts() / shortcut : shortcuts());
    std::vector<std::string> lines = added(paths);
    lines.push_back("+ key QuellmarkConsole");
    lines.push_back("+ service QuellmarkConsole");
    std::sort(lines.begin(), lines.end());
    return lines;
}

testing::Matcher<const std::string&> failureIs(const std::string& expected)
{
    if (expected.ends_with('\\'))
        return testing::StartsWith(expected);
    return testing::Eq(expected);
}

std::string removalHeldAt(const std::string& folder, const std::string& file)
{
    if (file.empty())
        return folder + "\\";
    return folder + "\\" + file +
           " is in use by another program and could not be removed. Close that program, then try again.";
}

void keepDataFolder()
{
    writeBytes(dataDir() / L"product.txt", "QuellmarkConsoleData/1\n");
}

void padToAGigabyte(const fs::path& marker)
{
    const UniqueHandle file(CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size{};
    size.QuadPart = 1LL << 30;
    if (!SetFilePointerEx(file.get(), size, nullptr, FILE_BEGIN) || !SetEndOfFile(file.get()))
        throw std::runtime_error("cannot pad " + narrow(marker.wstring()) + " to a gigabyte");
}

unsigned long long bytesAskedToRead()
{
    unsigned long long asked = 0;
    for (const ShimRecord& read : readShimRecords("_read"))
        asked += std::stoull(read["arg3"]);
    return asked;
}
