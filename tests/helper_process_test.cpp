#include <windows.h>
#include <shellapi.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/handles.h"
#include "common/text.h"
#include "engine/helper_process.h"
#include "engine/runtime_check.h"
#include "tests/support/failures.h"
#include "tests/support/files.h"
#include "tests/support/named_rows.h"
#include "tests/support/processes.h"
#include "tests/support/shim.h"
#include "tests/support/shim_fixtures.h"

namespace fs = std::filesystem;

namespace {

const fs::path CHILD = testProgramFolder() / L"helper_child.exe";

std::string failureOf(const fs::path& exe, const std::wstring& args, DWORD timeoutMs, DWORD* code = nullptr)
{
    return failureText([&] {
        const DWORD ended = command(exe, args, timeoutMs).exitCode;
        if (code != nullptr)
            *code = ended;
    });
}

// A folder with blanks in its name, like the application folder under Program Files.
struct FolderWithBlanks {
    FolderWithBlanks() : path(fs::temp_directory_path() / L"Helper Test Folder")
    {
        fs::remove_all(path);
        fs::create_directories(path);
        fs::copy_file(CHILD, path / L"helper child.exe");
    }
    ~FolderWithBlanks()
    {
        // Wine releases an ended child's current folder a moment after its process handle is
        // signalled (Windows does it before), so the removal may need a second try.
        std::error_code error;
        for (int attempt = 0; attempt < 50 && fs::remove_all(path, error) == static_cast<std::uintmax_t>(-1); ++attempt)
            Sleep(50);
    }
    fs::path path;
};

// The shim records what the helper was started, killed and waited with (Wine shows no console
// window and keeps no exit code of a process whose handles are closed).
class HelperProcess : public ShimUnloaded {
protected:
    void SetUp() override { loadShim("record TerminateProcess args=p,d\nrecord WaitForSingleObject args=p,d\n"); }
};

} // namespace

TEST_F(HelperProcess, ReturnsTheExitCodeAndTheEndOfWhatItWrote)
{
    EXPECT_EQ(command(CHILD, L"exit 0", 10000).output, "");
    const HelperResult said = command(CHILD, L"say 3 Traceback 5000", 10000);
    EXPECT_EQ(said.exitCode, 3u);
    EXPECT_EQ(said.output, std::string(4096 - 11, '.') + "Traceback\r\n") << "the last 4096 bytes, output and errors";
    // No console window, and started suspended, to join the job that ends it with this process.
    const std::string started =
        "flags=" + std::to_string(CREATE_NO_WINDOW | CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT);
    EXPECT_EQ(recordedFields("CreateProcessW", {"flags"}), (std::vector<std::string>{started, started}));
    EXPECT_THAT(recordedFields("WaitForSingleObject", {"arg2"}), testing::Contains("arg2=10000").Times(2));
    EXPECT_EQ(command(CHILD, L"say 0 End 2097152", 10000).output, std::string(4096 - 5, '.') + "End\r\n")
        << "2 MiB, more than the pipe holds: read while it runs";

    unloadShim();
    loadShim("fail GetExitCodeProcess call=1 error=6 return=0\n");
    EXPECT_EQ(command(CHILD, L"exit 0", 10000).exitCode, 1u) << "an exit code that cannot be read counts as a failure";
}

TEST_F(HelperProcess, KillsAHelperThatNeverEnds)
{
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(failureOf(CHILD, L"hang", 300), "Windows helper timed out");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << "killed, not waited for";
    EXPECT_EQ(recordedFields("TerminateProcess", {"arg2"}), std::vector<std::string>{"arg2=1"}) << "the exit code";
    const std::vector<std::string> waits = recordedFields("WaitForSingleObject", {"arg2"});
    ASSERT_GE(waits.size(), 2u);
    EXPECT_EQ(std::vector(waits.begin(), waits.begin() + 2), (std::vector<std::string>{"arg2=300", "arg2=5000"}))
        << "the time limit, then the grace after the kill";
}

TEST_F(HelperProcess, ReportsAProgramThatCannotStart)
{
    EXPECT_THAT(failureOf(testProgramFolder() / L"no such helper.exe", L"", 1000),
                testing::StartsWith("Run Windows helper (2)"));
}

TEST_F(HelperProcess, PassesQuotedArgumentsAndRunsInItsOwnFolder)
{
    const FolderWithBlanks folder;
    const fs::path exe = folder.path / L"helper child.exe";
    ASSERT_EQ(command(exe, L"report " + runtimeProbeArguments(L"C:\\Program Files\\App\\server/backend"), 10000).exitCode,
              0u);
    const std::string expected = narrow(exe.wstring()) +
                                 "\nreport\n-I\n-B\n-c\n"
                                 "import sys; sys.path.insert(0, sys.argv[1]); import fastapi,uvicorn,cryptography; "
                                 "from app.web import app\n"
                                 "C:\\Program Files\\App\\server/backend\n"
                                 "cwd=" +
                                 narrow(folder.path.wstring()) + "\n";
    EXPECT_EQ(readFile(folder.path / L"report.txt"), expected);
}

namespace {

struct JobRefusal : NamedRow {
    const char* plan;
    bool setupInAJob;     // as a deployment tool runs installers
    const char* expected; // the failure, or "(no failure)" when the helper runs, inside a job
};

class HelperJob : public ShimUnloaded, public testing::WithParamInterface<JobRefusal> {};

} // namespace

// Windows before 10 refuses the job attribute (the second attribute of the list), a job with UI
// limits refuses ours below it; Wine does neither, so the shim does.
TEST_P(HelperJob, EitherJoinsTheJobOrNeverRuns)
{
    const UniqueHandle setupJob(CreateJobObjectW(nullptr, nullptr));
    if (GetParam().setupInAJob) {
        ASSERT_TRUE(AssignProcessToJobObject(setupJob.get(), GetCurrentProcess()));
    }
    loadShim(GetParam().plan);
    DWORD code = 0;
    EXPECT_EQ(failureOf(CHILD, L"injob", 10000, &code), GetParam().expected);
    EXPECT_EQ(code, std::string(GetParam().expected) == "(no failure)" ? 10u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    EveryRefusal, HelperJob,
    testing::Values(
        JobRefusal{"AttributeUnknown", "fail UpdateProcThreadAttribute call=2 error=50 return=0\n", false,
                   "(no failure)"},
        JobRefusal{"NestingRefusedInsideAJob",
                   "fail CreateProcessW call=1 error=5 return=0\nfail AssignProcessToJobObject call=1 error=5 return=0\n",
                   true, "(no failure)"},
        JobRefusal{"AssignmentRefusedOutsideAnyJob",
                   "fail UpdateProcThreadAttribute call=2 error=50 return=0\n"
                   "fail AssignProcessToJobObject call=1 error=5 return=0\n",
                   false, "Run Windows helper (5): Access denied.\r\n"}),
    rowName);
