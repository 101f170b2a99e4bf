#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <windows.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "common/handles.h"
#include "tests/support/shim.h"

// In-process use of the shim: the test program is the main module whose imports are planned.

using testing::HasSubstr;

// msvcrt's own name, which the strict standard headers leave undeclared.
extern "C" double __cdecl _hypot(double x, double y);

namespace {

class Shim : public testing::Test {
protected:
    void SetUp() override
    {
        folder = std::filesystem::temp_directory_path() / ("shim_test-" + std::to_string(GetCurrentProcessId()));
        std::filesystem::create_directories(folder);
        existing = folder / L"existing.txt";
        std::ofstream(existing) << "x";
    }
    void TearDown() override
    {
        unloadShim();
        std::filesystem::remove_all(folder);
    }
    std::filesystem::path folder;
    std::filesystem::path existing;
};

// Calls GetFileAttributesW and reports the result with the last error of a failure.
std::pair<DWORD, DWORD> attributes(const std::filesystem::path& path)
{
    SetLastError(0);
    const DWORD result = GetFileAttributesW(path.c_str());
    return {result, result == INVALID_FILE_ATTRIBUTES ? GetLastError() : 0};
}

} // namespace

TEST_F(Shim, FailsOnlyThePlannedCallWithItsErrorAndValue)
{
    loadShim("fail GetFileAttributesW call=2 error=5 return=-1\n");
    EXPECT_EQ(attributes(existing), std::make_pair(DWORD{FILE_ATTRIBUTE_ARCHIVE}, DWORD{0}));
    EXPECT_EQ(attributes(existing), std::make_pair(INVALID_FILE_ATTRIBUTES, DWORD{5}));
    EXPECT_EQ(attributes(existing), std::make_pair(DWORD{FILE_ATTRIBUTE_ARCHIVE}, DWORD{0}));
    EXPECT_EQ(attributes(folder / L"missing"), std::make_pair(INVALID_FILE_ATTRIBUTES, DWORD{ERROR_FILE_NOT_FOUND}));

    const auto faults = readShimRecords("GetFileAttributesW");
    ASSERT_EQ(faults.size(), 1u);
    EXPECT_EQ(faults[0].process, GetCurrentProcessId());
    EXPECT_EQ(faults[0]["call"], "2");
    EXPECT_EQ(faults[0]["error"], "5");
}

TEST_F(Shim, FailsEveryCallFromTheNthOn)
{
    loadShim("fail CreateFileW from=2 error=32 return=-1 # sharing violation from the second open on\n");
    auto open = [this] {
        SetLastError(0);
        HANDLE file = CreateFileW(existing.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        const DWORD error = GetLastError();
        const bool opened = file != INVALID_HANDLE_VALUE;
        UniqueHandle owner(opened ? file : nullptr);
        return std::make_pair(opened, opened ? DWORD{0} : error);
    };
    EXPECT_EQ(open(), std::make_pair(true, DWORD{0}));
    EXPECT_EQ(open(), std::make_pair(false, DWORD{ERROR_SHARING_VIOLATION}));
    EXPECT_EQ(open(), std::make_pair(false, DWORD{ERROR_SHARING_VIOLATION}));
    EXPECT_EQ(readShimRecords("CreateFileW").size(), 2u);
}

TEST_F(Shim, RegistryCallsReturnThePlannedCode)
{
    loadShim("fail RegOpenKeyExW call=1 return=5\n");
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software", 0, KEY_READ, &key), ERROR_ACCESS_DENIED);
    EXPECT_EQ(key, nullptr);
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST_F(Shim, RecordsRegisterAndStackArgumentsAndTheCallStillWorks)
{
    // CreateFileW has seven arguments: the fifth and sixth come from the caller's stack.
    loadShim("record CreateFileW args=ws,x,d,p,d,x\n");
    HANDLE file = CreateFileW(existing.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    UniqueHandle owner(file);
    char content[8] = {};
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(file, content, sizeof content, &read, nullptr));
    EXPECT_EQ(std::string(content, read), "x");

    const auto calls = readShimRecords("CreateFileW");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0]["call"], "1");
    EXPECT_EQ(calls[0]["arg1"], existing.string());
    EXPECT_EQ(calls[0]["arg2"], "0x80000000");
    EXPECT_EQ(calls[0]["arg3"], "1");
    EXPECT_EQ(calls[0]["arg4"], "0x0");
    EXPECT_EQ(calls[0]["arg5"], "3");
    EXPECT_EQ(calls[0]["arg6"], "0x80");
    EXPECT_FALSE(calls[0].has("fault"));
}

TEST_F(Shim, PassedCallsKeepFloatingPointArgumentsAndTheLastError)
{
    loadShim("record _hypot\nrecord GetCurrentProcessId\n");
    volatile double a = 3.0;
    volatile double b = 4.0;
    EXPECT_EQ(_hypot(a, b), 5.0);
    // Writing the record must not leak into the caller's last error.
    SetLastError(1234);
    GetCurrentProcessId();
    EXPECT_EQ(GetLastError(), 1234u);
    EXPECT_EQ(readShimRecords("_hypot").size(), 1u);
    EXPECT_EQ(readShimRecords("GetCurrentProcessId").size(), 1u);
}

TEST_F(Shim, ReportsThePlannedFreeDiskSpace)
{
    loadShim("value GetDiskFreeSpaceExW free=536870911\n");
    ULARGE_INTEGER caller{};
    ULARGE_INTEGER total{};
    ULARGE_INTEGER totalFree{};
    ASSERT_TRUE(GetDiskFreeSpaceExW(L"C:\\Program Files", &caller, &total, &totalFree));
    EXPECT_EQ(caller.QuadPart, 536870911u);
    EXPECT_EQ(totalFree.QuadPart, 536870911u);
    EXPECT_GE(total.QuadPart, caller.QuadPart);
    // The caller may leave out what it does not need.
    caller.QuadPart = 0;
    ASSERT_TRUE(GetDiskFreeSpaceExW(L"C:\\", &caller, nullptr, nullptr));
    EXPECT_EQ(caller.QuadPart, 536870911u);

    const auto calls = readShimRecords("GetDiskFreeSpaceExW");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0]["folder"], "C:\\Program Files");
    EXPECT_EQ(calls[1]["folder"], "C:\\");
}

TEST_F(Shim, AnswersMessageBoxesInOrderAndRecordsThemWithoutShowingThem)
{
    loadShim("answer MessageBoxW IDTRYAGAIN 11 0\n");
    const std::wstring text = L"Windows Firewall access could not be configured.\r\n\r\nZugriff verweigert \u2013 \u00fc\tEnde";
    EXPECT_EQ(MessageBoxW(GetDesktopWindow(), text.c_str(), L"Console network access", 0x136), IDTRYAGAIN);
    EXPECT_EQ(MessageBoxW(nullptr, L"second", L"Quellmark Console", MB_OK), IDCONTINUE);
    EXPECT_EQ(MessageBoxW(nullptr, L"third", L"Quellmark Console", MB_OK), 0);
    // The script has run out: the answer is IDCANCEL, and the record says that it was not scripted.
    EXPECT_EQ(MessageBoxW(nullptr, L"fourth", L"Quellmark Console", MB_OK), IDCANCEL);

    const auto boxes = readShimRecords("MessageBoxW");
    ASSERT_EQ(boxes.size(), 4u);
    EXPECT_EQ(boxes[0]["text"], "Windows Firewall access could not be configured.\r\n\r\nZugriff verweigert \xE2\x80\x93 \xC3\xBC\tEnde");
    EXPECT_EQ(boxes[0]["caption"], "Console network access");
    EXPECT_EQ(boxes[0]["style"], "310");
    EXPECT_EQ(boxes[0]["owner"], "yes");
    EXPECT_EQ(boxes[0]["answer"], "10");
    EXPECT_EQ(boxes[1]["owner"], "no");
    EXPECT_EQ(boxes[2]["scripted"], "yes");
    EXPECT_EQ(boxes[3]["text"], "fourth");
    EXPECT_EQ(boxes[3]["answer"], "2");
    EXPECT_EQ(boxes[3]["scripted"], "no");
}

TEST_F(Shim, AnswerAfterTheScriptCanBePlanned)
{
    loadShim("answer MessageBoxW otherwise=IDCONTINUE\n");
    EXPECT_EQ(MessageBoxW(nullptr, L"any", L"any", MB_OK), IDCONTINUE);
    EXPECT_EQ(MessageBoxW(nullptr, L"any", L"any", MB_OK), IDCONTINUE);
}

TEST_F(Shim, FastSleepSkipsPausesAndRecordsEachOne)
{
    loadShim("fast Sleep\n");
    const ULONGLONG started = GetTickCount64();
    for (int attempt = 0; attempt < 30; ++attempt)
        Sleep(1000);
    // Thirty real pauses would take 30 s; the bound only tells skipped pauses from real ones.
    EXPECT_LT(GetTickCount64() - started, 10000u);
    const auto pauses = readShimRecords("Sleep");
    ASSERT_EQ(pauses.size(), 30u);
    for (const ShimRecord& pause : pauses) {
        EXPECT_EQ(pause["ms"], "1000");
        EXPECT_EQ(pause["slept"], "0");
    }
}

TEST_F(Shim, FastSleepCanKeepShortPauses)
{
    loadShim("fast Sleep max=50\n");
    const ULONGLONG started = GetTickCount64();
    Sleep(1000);
    Sleep(1000);
    Sleep(10);
    EXPECT_GE(GetTickCount64() - started, 90u); // two capped pauses really waited
    const auto pauses = readShimRecords("Sleep");
    ASSERT_EQ(pauses.size(), 3u);
    EXPECT_EQ(pauses[0]["slept"], "50");
    EXPECT_EQ(pauses[2]["slept"], "10");
}

TEST_F(Shim, CountsCallsFromManyThreadsExactlyOnce)
{
    loadShim("fail GetFileAttributesW call=1000 error=5 return=-1\nrecord GetFileAttributesW\n");
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 250; ++i)
                if (GetFileAttributesW(existing.c_str()) == INVALID_FILE_ATTRIBUTES)
                    ++failures;
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(failures, 1);

    // Every call has one intact record, and each call number appears once.
    const auto calls = readShimRecords("GetFileAttributesW");
    ASSERT_EQ(calls.size(), 1000u);
    std::vector<int> seen(1001, 0);
    for (const ShimRecord& call : calls) {
        const auto number = std::stoul(call["call"]);
        ASSERT_LE(number, 1000u);
        ++seen[number];
        EXPECT_EQ(call.has("fault"), number == 1000);
    }
    EXPECT_EQ(std::count(seen.begin() + 1, seen.end(), 1), 1000);
}

TEST_F(Shim, AppliesProcessSectionsOnlyToTheirImage)
{
    loadShim("process Uninstall.exe\n"
             "fail GetFileAttributesW from=1 error=5 return=-1\n"
             "process SHIM_TEST.EXE   # image names compare without case\n"
             "fail GetFileAttributesW call=2 error=6 return=-1\n"
             "process *\n"
             "fail GetFileAttributesW call=3 error=7 return=-1\n");
    EXPECT_EQ(attributes(existing).second, 0u);
    EXPECT_EQ(attributes(existing).second, 6u);
    EXPECT_EQ(attributes(existing).second, 7u);
    EXPECT_EQ(attributes(existing).second, 0u);
}

TEST_F(Shim, UnloadingPutsTheImportsBack)
{
    loadShim("fail GetFileAttributesW from=1 error=5 return=-1\n");
    EXPECT_EQ(attributes(existing).second, 5u);
    unloadShim();
    EXPECT_EQ(attributes(existing), std::make_pair(DWORD{FILE_ATTRIBUTE_ARCHIVE}, DWORD{0}));
    // A new session counts from the start again.
    loadShim("fail GetFileAttributesW call=1 error=5 return=-1\n");
    EXPECT_EQ(attributes(existing).second, 5u);
    EXPECT_EQ(attributes(existing).second, 0u);
}

TEST_F(Shim, RefusesAFunctionThatTheProgramDoesNotImport)
{
    try {
        loadShim("fail CreateServiceW call=1 error=5 return=0\n");
        FAIL() << "the plan was accepted";
    } catch (const std::runtime_error& failure) {
        EXPECT_THAT(failure.what(), HasSubstr("CreateServiceW is not imported by shim_test.exe"));
    }
    // The refused plan left nothing behind.
    EXPECT_EQ(attributes(existing).second, 0u);
}

struct MalformedPlan {
    const char* name;
    const char* plan;
    const char* message;
};

void PrintTo(const MalformedPlan& plan, std::ostream* out)
{
    *out << plan.name;
}

class MalformedPlans : public Shim, public testing::WithParamInterface<MalformedPlan> {};

TEST_P(MalformedPlans, FailToLoadNamingTheLine)
{
    try {
        loadShim(GetParam().plan);
        FAIL() << "the plan was accepted";
    } catch (const std::runtime_error& failure) {
        EXPECT_THAT(failure.what(), HasSubstr(GetParam().message));
    }
    // Nothing was intercepted: the refused plan's fault does not happen.
    EXPECT_EQ(attributes(existing).second, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Shim, MalformedPlans,
    testing::Values(
        MalformedPlan{"UnknownDirective", "fial GetFileAttributesW call=1 return=0", "plan line 1: unknown directive \"fial\""},
        MalformedPlan{"MissingCallNumber", "# first\n\nfail GetFileAttributesW return=0", "plan line 3: give exactly one of call= and from="},
        MalformedPlan{"CallAndFrom", "fail GetFileAttributesW call=1 from=2 return=0", "give exactly one of call= and from="},
        MalformedPlan{"MissingReturn", "fail GetFileAttributesW call=1 error=5", "plan line 1: give return="},
        MalformedPlan{"CallZero", "fail GetFileAttributesW call=0 return=0", "calls are counted from 1"},
        MalformedPlan{"ReturnNotANumber", "fail GetFileAttributesW call=1 return=zero", "\"zero\" is not a number"},
        MalformedPlan{"ErrorTooLarge", "fail GetFileAttributesW call=1 error=0x100000000 return=0", "is larger than 4294967295"},
        MalformedPlan{"OptionTwice", "fail GetFileAttributesW call=1 error=5 error=6 return=0", "option \"error\" given twice"},
        MalformedPlan{"UnknownOption", "fail GetFileAttributesW call=1 eror=5 return=0", "unknown option \"eror\""},
        MalformedPlan{"WordWithoutValue", "fail GetFileAttributesW call 1 return=0", "expected key=value, found \"call\""},
        MalformedPlan{"BadFunctionName", "fail Get-FileAttributes call=1 return=0", "neither an import name nor a known firewall method"},
        MalformedPlan{"UnknownFirewallMethod", "fail INetFwRule::put_Colour call=1 return=0", "neither an import name"},
        MalformedPlan{"ErrorForFirewallMethod", "fail INetFwRule::put_Name call=1 error=5 return=0", "not error="},
        MalformedPlan{"RecordFirewallMethod", "record INetFwRule::put_Name", "firewall methods are always recorded"},
        MalformedPlan{"UnknownArgumentKind", "record GetFileAttributesW args=ws,q", "argument kind \"q\""},
        MalformedPlan{"ValueWithoutFree", "value GetDiskFreeSpaceExW", "give free="},
        MalformedPlan{"TotalBelowFree", "value GetDiskFreeSpaceExW free=10 total=9", "total= is smaller than free="},
        MalformedPlan{"ValueForOtherFunction", "value GetFileAttributesW free=10", "\"value\" applies only to GetDiskFreeSpaceExW"},
        MalformedPlan{"UnknownAnswer", "answer MessageBoxW IDRETRY IDMAYBE", "\"IDMAYBE\" is not a message box result"},
        MalformedPlan{"FastForOtherFunction", "fast MessageBoxW", "applies only to Sleep"},
        MalformedPlan{"NegativeSleepCap", "fast Sleep max=-1", "\"-1\" is negative"},
        MalformedPlan{"ProcessWithoutName", "process", "expected one image name"},
        // A broken line is refused even in a section for another program.
        MalformedPlan{"BrokenLineForOtherProgram", "process Uninstall.exe\nfail GetFileAttributesW call=1", "plan line 2: give return="}),
    [](const testing::TestParamInfo<MalformedPlan>& plan) { return std::string(plan.param.name); });
