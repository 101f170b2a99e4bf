// The reference-size console that the benchmarks install: its generator run as the build runs it.

#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "common/text.h"
#include "tests/support/files.h"
#include "tests/support/processes.h"

namespace fs = std::filesystem;

namespace {

using Listing = std::map<std::string, uintmax_t>; // relative name with slashes -> size

const fs::path SAMPLE = testProgramFolder() / QM_SAMPLE_FOLDER;

ProcessResult generate(const fs::path& output)
{
    return runProcess(testProgramFolder() / QM_REFERENCE_GENERATOR,
                      quote(SAMPLE.wstring()) + L" " + quote(output.wstring()), 120000);
}

Listing list(const fs::path& folder)
{
    Listing files;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        if (entry.is_regular_file())
            files[entry.path().lexically_relative(folder).generic_string()] = entry.file_size();
    return files;
}

fs::path scratch(const wchar_t* name)
{
    const fs::path folder = fs::temp_directory_path() / name;
    fs::remove_all(folder);
    return folder;
}

} // namespace

TEST(ReferenceConsole, Has734FilesOfAbout80MBAroundAWorkingSample)
{
    const fs::path output = scratch(L"reference console");
    const ProcessResult run = generate(output);
    ASSERT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_EQ(run.output, "734 files, 80000000 bytes\r\n");

    const Listing files = list(output);
    EXPECT_EQ(files.size(), 734u);
    uintmax_t total = 0;
    size_t large = 0;
    size_t small = 0;
    std::set<std::string> folded;
    for (const auto& [name, size] : files) {
        total += size;
        large += size >= 2'000'000 ? 1 : 0;
        small += size <= 64 * 1024 ? 1 : 0;
        EXPECT_TRUE(std::all_of(name.begin(), name.end(), [](char c) { return c >= 0x21 && c <= 0x7E; })) << name;
        EXPECT_LE(name.size(), 240u) << name;
        std::string lower = name;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; });
        EXPECT_TRUE(folded.insert(lower).second) << "two names differ only in case: " << name;
    }
    EXPECT_EQ(total, 80'000'000u);
    EXPECT_GE(large, 4u) << "a few files of several MB";
    EXPECT_GE(small, 500u) << "many small files";

    for (const auto& [name, size] : list(SAMPLE))
        EXPECT_EQ(readFile(output / name), readFile(SAMPLE / name)) << name << " is not the sample's";
    const std::string big = readFile(output / "runtime/bin/core-runtime.dll");
    EXPECT_GT(std::count(big.begin(), big.end(), '\0'), 0);
    EXPECT_LT(std::count(big.begin(), big.end(), '\0'), static_cast<long>(big.size() / 100)) << "content is not zeros";

    const std::wstring probe =
        L"import sys; sys.path.insert(0, sys.argv[1]); import fastapi,uvicorn,cryptography; from app.web import app";
    const ProcessResult check = runProcess(output / "runtime/python.exe",
                                           L"-I -B -c " + quote(probe) + L" " + quote((output / "server/backend").wstring()));
    EXPECT_EQ(check.exitCode, 0u) << check.output;
    fs::remove_all(output);
}

TEST(ReferenceConsole, IsTheSameOnEveryRunAndLeavesNothingStale)
{
    const fs::path first = scratch(L"reference 1");
    const fs::path second = scratch(L"reference 2");
    fs::create_directories(second / "runtime");
    std::ofstream(second / "runtime" / "stale.txt") << "left over from an earlier run";
    ASSERT_EQ(generate(first).exitCode, 0u);
    ASSERT_EQ(generate(second).exitCode, 0u);

    const Listing files = list(first);
    ASSERT_EQ(list(second), files);
    for (const auto& [name, size] : files)
        ASSERT_TRUE(readFile(first / name) == readFile(second / name)) << name << " differs between runs";
    fs::remove_all(first);
    fs::remove_all(second);
}
