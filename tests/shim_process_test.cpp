#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <windows.h>

#include <filesystem>
#include <set>
#include <sstream>

#include "common/text.h"
#include "tests/support/failures.h"
#include "tests/support/shim.h"
#include "tests/support/shim_fixtures.h"

// The shim in a program started by the test, and in the children that program starts.

using testing::HasSubstr;

namespace {

class ShimProcesses : public ShimScratch {
protected:
    std::wstring spawn(const std::string& how, const std::filesystem::path& child) const
    {
        return L"spawn " + widen(how) + L" " + quote(child.wstring()) + L" " + quote(existing.wstring());
    }
    const std::filesystem::path probe = testProgramFolder() / L"shim_probe.exe";
};

// The probe's "pid=... attributes=... error=... marker=..." lines.
std::vector<std::string> probeLines(const std::string& output)
{
    std::vector<std::string> lines;
    std::stringstream stream(output);
    for (std::string line; std::getline(stream, line);) {
        if (line.ends_with('\r'))
            line.pop_back(); // the C run time writes text-mode line ends
        if (line.starts_with("pid="))
            lines.push_back(line.substr(line.find(' ') + 1));
    }
    return lines;
}

} // namespace

TEST_F(ShimProcesses, ProgramStartedWithTheShimFailsThePlannedCall)
{
    const ProcessResult result =
        runWithShim(probe, L"probe " + quote(existing.wstring()), "fail GetFileAttributesW call=1 error=5 return=-1\n");
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_EQ(probeLines(result.output), std::vector<std::string>{"attributes=4294967295 error=5 marker="});
    const auto faults = readShimRecords("GetFileAttributesW");
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_EQ(faults[0].image, "shim_probe.exe");
    EXPECT_NE(faults[0].process, GetCurrentProcessId());
}

TEST_F(ShimProcesses, StartedProgramCanBeWaitedFor)
{
    const ShimProcess started =
        startWithShim(probe, L"probe " + quote(existing.wstring()), "fail GetFileAttributesW call=1 error=5 return=-1\n");
    ASSERT_EQ(WaitForSingleObject(started.process.get(), 60000), WAIT_OBJECT_0);
    DWORD exitCode = 1;
    GetExitCodeProcess(started.process.get(), &exitCode);
    EXPECT_EQ(exitCode, 0u);
    const auto faults = readShimRecords("GetFileAttributesW");
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_EQ(faults[0].process, started.id);
}

TEST_F(ShimProcesses, ChildrenAreFollowedWithTheSamePlan)
{
    const ProcessResult result =
        runWithShim(probe, spawn("plain", probe), "fail GetFileAttributesW call=1 error=5 return=-1\n");
    EXPECT_THAT(result.output, HasSubstr("child exit=0"));
    EXPECT_EQ(probeLines(result.output), (std::vector<std::string>{"attributes=4294967295 error=5 marker=",
                                                                   "attributes=4294967295 error=5 marker="}));
    // One fault in each process: each counts its own calls.
    std::set<DWORD> processes;
    for (const ShimRecord& fault : readShimRecords("GetFileAttributesW"))
        processes.insert(fault.process);
    EXPECT_EQ(processes.size(), 2u);
    const auto starts = readShimRecords("CreateProcessW");
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0]["followed"], "yes");
    EXPECT_TRUE(processes.count(static_cast<DWORD>(std::stoul(starts[0]["child"]))));
}

TEST_F(ShimProcesses, ProcessSectionTargetsARelaunchedCopyOnly)
{
    const std::filesystem::path copy = folder / L"Uninstall.exe";
    std::filesystem::copy_file(probe, copy);
    const ProcessResult result = runWithShim(probe, spawn("plain", copy),
                                             "process Uninstall.exe\nfail GetFileAttributesW call=1 error=5 return=-1\n");
    EXPECT_EQ(probeLines(result.output), (std::vector<std::string>{"attributes=32 error=0 marker=",
                                                                   "attributes=4294967295 error=5 marker="}));
    const auto faults = readShimRecords("GetFileAttributesW");
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_EQ(faults[0].image, "Uninstall.exe");
}

struct StartKind {
    const char* how;
    const char* function; // the start call the parent makes
    const char* childLine; // what the child prints after the fault
    const char* parentLine; // an extra line the parent prints, if any
};

void PrintTo(const StartKind& kind, std::ostream* out)
{
    *out << kind.how;
}

class ChildStarts : public ShimProcesses, public testing::WithParamInterface<StartKind> {};

TEST_P(ChildStarts, FollowTheChild)
{
    const ProcessResult result =
        runWithShim(probe, spawn(GetParam().how, probe), "fail GetFileAttributesW call=1 error=5 return=-1\n");
    EXPECT_EQ(probeLines(result.output).back(), GetParam().childLine);
    EXPECT_THAT(result.output, HasSubstr(GetParam().parentLine));
    EXPECT_THAT(result.output, HasSubstr("child exit=0"));
    EXPECT_EQ(readShimRecords("GetFileAttributesW").size(), 2u);
    const auto starts = readShimRecords(GetParam().function);
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0]["followed"], "yes");
    EXPECT_THAT(starts[0]["command"], HasSubstr("shim_probe.exe\" probe \""));
}

INSTANTIATE_TEST_SUITE_P(
    Shim, ChildStarts,
    testing::Values(
        // A block of the caller's own still carries the shim's variables, and only those besides.
        StartKind{"environment", "CreateProcessW", "attributes=4294967295 error=5 marker=own block", "child exit=0"},
        StartKind{"ansi", "CreateProcessA", "attributes=4294967295 error=5 marker=", "child exit=0"},
        // A caller that starts its child suspended resumes it itself: the count is still 1 for it.
        StartKind{"suspended", "CreateProcessW", "attributes=4294967295 error=5 marker=", "resume=1"}),
    [](const testing::TestParamInfo<StartKind>& kind) { return std::string(kind.param.how); });

TEST_F(ShimProcesses, MalformedPlanStopsTheProgramBeforeItRuns)
{
    EXPECT_THAT(failureText([this] { runWithShim(probe, spawn("plain", probe), "fail GetFileAttributesW call=1 error=5\n"); }),
                HasSubstr("qmshim refused the plan for shim_probe.exe: plan line 1: give return="));
    // The program never got to start its child.
    EXPECT_TRUE(readShimRecords("CreateProcessW").empty());
}

TEST_F(ShimProcesses, PlanForAFunctionTheProgramDoesNotImportIsRefused)
{
    EXPECT_THAT(failureText([this] { runWithShim(probe, L"probe " + quote(existing.wstring()), "fail RegOpenKeyExW call=1 return=5\n"); }),
                HasSubstr("RegOpenKeyExW is not imported by shim_probe.exe"));
}

TEST_F(ShimProcesses, FailedStartsKeepTheirError)
{
    loadShim("");
    std::wstring command = L"missing.exe";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    SetLastError(0);
    EXPECT_FALSE(CreateProcessW((folder / L"missing.exe").c_str(), command.data(), nullptr, nullptr, FALSE, 0,
                                nullptr, nullptr, &startup, &process));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    const auto starts = readShimRecords("CreateProcessW");
    ASSERT_EQ(starts.size(), 1u);
    EXPECT_EQ(starts[0]["result"], "0");
    EXPECT_EQ(starts[0]["error"], "2");
}
