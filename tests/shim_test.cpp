#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "common/handles.h"
#include "common/text.h"
#include "tests/support/failures.h"
#include "tests/support/files.h"
#include "tests/support/shim.h"
#include "tests/support/shim_fixtures.h"

// In-process use of the shim: the test program is the main module whose imports are planned.

using testing::HasSubstr;

// msvcrt's own name, which the strict standard headers leave undeclared.
extern "C" double __cdecl _hypot(double x, double y);

namespace {

using Shim = ShimScratch;

// Calls GetFileAttributesW and reports the result with the last error of a failure.
std::pair<DWORD, DWORD> attributes(const std::filesystem::path& path)
{
    SetLastError(0);
    const DWORD result = GetFileAttributesW(path.c_str());
    return {result, result == INVALID_FILE_ATTRIBUTES ? GetLastError() : 0};
}

// A path below base of exactly length characters, in components short enough for any file system.
std::wstring pathOfLength(const std::wstring& base, std::size_t length)
{
    std::wstring path = base;
    while (path.size() < length) {
        path += L'\\';
        path += std::wstring(std::min<std::size_t>(length - path.size(), 100), L'n');
    }
    return path;
}

using IsWow64Process2Function = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);

IsWow64Process2Function lookUpIsWow64Process2()
{
    return reinterpret_cast<IsWow64Process2Function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process2")));
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
    std::vector<std::string> arguments;
    for (int n = 1; n <= 6; ++n)
        arguments.push_back(calls[0]["arg" + std::to_string(n)]);
    EXPECT_EQ(arguments, (std::vector<std::string>{existing.string(), "0x80000000", "1", "0x0", "3", "0x80"}));
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

// Wine accepts paths of any length; Windows refuses an ordinary path of MAX_PATH characters or
// more, and a new folder's path of MAX_PATH - 12 or more, unless it is given in the \\?\ form.
TEST_F(Shim, RefusesPathsThatWindowsFindsTooLong)
{
    const std::wstring base = pathOfLength(folder.wstring(), 245);
    makeFoldersAtAnyLength(base);
    loadShim("");
    EXPECT_TRUE(CreateDirectoryW((base + L"\\n").c_str(), nullptr)) << "247 characters";
    EXPECT_FALSE(CreateDirectoryW((base + L"\\nn").c_str(), nullptr)) << "248 characters";
    EXPECT_EQ(GetLastError(), DWORD{ERROR_FILENAME_EXCED_RANGE});
    EXPECT_TRUE(CreateDirectoryW((L"\\\\?\\" + base + L"\\nn").c_str(), nullptr));

    const std::wstring fits = pathOfLength(base, 259);
    const std::wstring tooLong = fits + L"n";
    EXPECT_EQ(attributes(fits), std::make_pair(INVALID_FILE_ATTRIBUTES, DWORD{ERROR_FILE_NOT_FOUND}));
    EXPECT_EQ(attributes(tooLong), std::make_pair(INVALID_FILE_ATTRIBUTES, DWORD{ERROR_FILENAME_EXCED_RANGE}));
    EXPECT_EQ(attributes(L"\\\\?\\" + tooLong), std::make_pair(INVALID_FILE_ATTRIBUTES, DWORD{ERROR_FILE_NOT_FOUND}));
    const HANDLE created = CreateFileW(tooLong.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    EXPECT_EQ(created, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_FILENAME_EXCED_RANGE});

    // The C runtime reports the same refusal as a missing file.
    errno = 0;
    FILE* refused = _wfopen(tooLong.c_str(), L"wb");
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(errno, ENOENT);
    if (refused != nullptr)
        std::fclose(refused);
    FILE* file = _wfopen((L"\\\\?\\" + tooLong).c_str(), L"wb");
    ASSERT_NE(file, nullptr);
    std::fclose(file);

    const auto refusals = readShimRecords("GetFileAttributesW");
    ASSERT_EQ(refusals.size(), 1u) << "only refused calls are recorded";
    EXPECT_EQ(refusals[0]["path"], narrow(tooLong));
    EXPECT_EQ(refusals[0]["length"], "260");
    EXPECT_EQ(refusals[0]["limit"], "260");
    EXPECT_EQ(readShimRecords("CreateDirectoryW").at(0)["limit"], "248");
}

TEST_F(Shim, MeasuresARelativePathFromTheCurrentFolder)
{
    const std::wstring base = pathOfLength(folder.wstring(), 245);
    makeFoldersAtAnyLength(base);
    const std::filesystem::path previous = std::filesystem::current_path();
    ASSERT_TRUE(SetCurrentDirectoryW(base.c_str()));
    loadShim("");
    const auto fits = attributes(std::wstring(13, L'n')); // 245 + 1 + 13 = 259 characters
    const auto tooLong = attributes(std::wstring(14, L'n'));
    unloadShim();
    SetCurrentDirectoryW(previous.c_str());
    EXPECT_EQ(fits.second, DWORD{ERROR_FILE_NOT_FOUND});
    EXPECT_EQ(tooLong.second, DWORD{ERROR_FILENAME_EXCED_RANGE});
}

TEST_F(Shim, AnswersIsWow64Process2WithThePlannedNativeMachine)
{
    loadShim("value IsWow64Process2 native=0xAA64\n");
    const IsWow64Process2Function isWow64Process2 = lookUpIsWow64Process2();
    ASSERT_NE(isWow64Process2, nullptr);
    USHORT process = 0xFFFF;
    USHORT native = 0;
    ASSERT_TRUE(isWow64Process2(GetCurrentProcess(), &process, &native));
    EXPECT_EQ(process, IMAGE_FILE_MACHINE_UNKNOWN) << "an x64 program emulated on ARM64 is no WOW64 process";
    EXPECT_EQ(native, 0xAA64);
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetTickCount64")),
              reinterpret_cast<void*>(&GetTickCount64))
        << "other look-ups find the real functions";

    const auto calls = readShimRecords("IsWow64Process2");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0]["native"], "0xAA64");
}

TEST_F(Shim, CanHideIsWow64Process2LikeTheOldestWindows10)
{
    loadShim("value IsWow64Process2 missing\n");
    SetLastError(0);
    EXPECT_EQ(lookUpIsWow64Process2(), nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_PROC_NOT_FOUND});
    EXPECT_EQ(readShimRecords("GetProcAddress").at(0)["name"], "IsWow64Process2");
}

struct RefusedPlan {
    const char* name;
    const char* plan;
    const char* message;
};

void PrintTo(const RefusedPlan& plan, std::ostream* out)
{
    *out << plan.name;
}

class RefusedPlans : public Shim, public testing::WithParamInterface<RefusedPlan> {};

TEST_P(RefusedPlans, FailToLoadNamingTheReason)
{
    EXPECT_THAT(failureText([] { loadShim(GetParam().plan); }), HasSubstr(GetParam().message));
    // Nothing was intercepted: the refused plan's fault does not happen.
    EXPECT_EQ(attributes(existing).second, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Shim, RefusedPlans,
    testing::Values(
        RefusedPlan{"UnknownDirective", "fial GetFileAttributesW call=1 return=0", "plan line 1: unknown directive \"fial\""},
        RefusedPlan{"MissingCallNumber", "# first\n\nfail GetFileAttributesW return=0", "plan line 3: give exactly one of call= and from="},
        RefusedPlan{"CallAndFrom", "fail GetFileAttributesW call=1 from=2 return=0", "give exactly one of call= and from="},
        RefusedPlan{"MissingReturn", "fail GetFileAttributesW call=1 error=5", "plan line 1: give return="},
        RefusedPlan{"CallZero", "fail GetFileAttributesW call=0 return=0", "calls are counted from 1"},
        RefusedPlan{"ReturnNotANumber", "fail GetFileAttributesW call=1 return=zero", "\"zero\" is not a number"},
        RefusedPlan{"ErrorTooLarge", "fail GetFileAttributesW call=1 error=0x100000000 return=0", "is larger than 4294967295"},
        RefusedPlan{"OptionTwice", "fail GetFileAttributesW call=1 error=5 error=6 return=0", "option \"error\" given twice"},
        RefusedPlan{"UnknownOption", "fail GetFileAttributesW call=1 eror=5 return=0", "unknown option \"eror\""},
        RefusedPlan{"WordWithoutValue", "fail GetFileAttributesW call 1 return=0", "expected key=value, found \"call\""},
        RefusedPlan{"BadFunctionName", "fail Get-FileAttributes call=1 return=0", "neither an import name nor a known firewall method"},
        RefusedPlan{"UnknownFirewallMethod", "fail INetFwRule::put_Colour call=1 return=0", "neither an import name"},
        RefusedPlan{"ErrorForFirewallMethod", "fail INetFwRule::put_Name call=1 error=5 return=0", "not error="},
        RefusedPlan{"RecordFirewallMethod", "record INetFwRule::put_Name", "firewall methods are always recorded"},
        RefusedPlan{"UnknownArgumentKind", "record GetFileAttributesW args=ws,q", "argument kind \"q\""},
        RefusedPlan{"ValueWithoutFree", "value GetDiskFreeSpaceExW", "give free="},
        RefusedPlan{"TotalBelowFree", "value GetDiskFreeSpaceExW free=10 total=9", "total= is smaller than free="},
        RefusedPlan{"ValueForOtherFunction", "value GetFileAttributesW free=10", "\"value\" applies only to GetDiskFreeSpaceExW"},
        RefusedPlan{"MachineWithoutNative", "value IsWow64Process2", "give native= (a machine number) or missing"},
        RefusedPlan{"MachineTooLarge", "value IsWow64Process2 native=0x10000", "is larger than 65535"},
        RefusedPlan{"UnknownAnswer", "answer MessageBoxW IDRETRY IDMAYBE", "\"IDMAYBE\" is not a message box result"},
        RefusedPlan{"FastForOtherFunction", "fast MessageBoxW", "applies only to Sleep"},
        RefusedPlan{"NegativeSleepCap", "fast Sleep max=-1", "\"-1\" is negative"},
        RefusedPlan{"ProcessWithoutName", "process", "expected one image name"},
        // A broken line is refused even in a section for another program.
        RefusedPlan{"BrokenLineForOtherProgram", "process Uninstall.exe\nfail GetFileAttributesW call=1", "plan line 2: give return="},
        // A well-formed plan that this program cannot follow.
        RefusedPlan{"FunctionNotImported", "fail CreateServiceW call=1 error=5 return=0", "CreateServiceW is not imported by shim_test.exe"}),
    [](const testing::TestParamInfo<RefusedPlan>& plan) { return std::string(plan.param.name); });
