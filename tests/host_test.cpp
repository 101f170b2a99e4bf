#include <windows.h>

#include <gtest/gtest.h>

#include "core/host.h"
#include "tests/support/processes.h"
#include "tests/support/shim.h"

namespace {

DWORD reportedMajorVersion()
{
    using RtlGetVersionFunction = LONG(WINAPI*)(RTL_OSVERSIONINFOW*);
    const auto rtlGetVersion = reinterpret_cast<RtlGetVersionFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    RTL_OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    rtlGetVersion(&version);
    return version.dwMajorVersion;
}

} // namespace

TEST(HostRequirements, PassOnWindows10AsAdministrator)
{
    ASSERT_EQ(reportedMajorVersion(), 10u) << "the test prefix should report Windows 10";
    EXPECT_NO_THROW(checkHost());
}

TEST(HostRequirements, RefuseAProcessOutsideTheAdministratorsGroup)
{
    // Wine's user is always an administrator; the shim makes the membership test answer no.
    const ProcessResult probe = runWithShim(testProgramFolder() / L"host_probe.exe", L"",
                                            "fail CheckTokenMembership call=1 error=5 return=0\n"
                                            "record AllocateAndInitializeSid args=p,d,d,d\n");
    const auto group = recordedFields("AllocateAndInitializeSid", {"arg2", "arg3", "arg4"});
    unloadShim();
    EXPECT_EQ(probe.output,
              "Administrator permission is required. Right-click setup and choose Run as administrator.\r\n");
    EXPECT_EQ(probe.exitCode, 1u);
    // Two sub-authorities: SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS.
    EXPECT_EQ(group, std::vector<std::string>{"arg2=2 arg3=32 arg4=544"});
}

TEST(HostRequirements, RefuseWindows7)
{
    // Wine reads the Windows version it reports from the prefix's registry when a process starts,
    // so a child started after this change runs on "Windows 7".
    const wchar_t windows7[] = L"win7";
    ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine", L"Version", REG_SZ, windows7, sizeof windows7),
              ERROR_SUCCESS);
    const ProcessResult probe = runProcess(testProgramFolder() / L"host_probe.exe", L"");
    EXPECT_EQ(probe.output, "Windows 10/11 x64 or Windows Server 2019/2022/2025 x64 is required.\r\n") << "printed by the child in text mode";
    EXPECT_EQ(probe.exitCode, 1u);
}

TEST(HostRequirements, AskWindowsForTheNativeMachineWhereItCanTell)
{
    // Wine runs only on x64, so the shim answers IsWow64Process2 as Windows 11 on ARM64 answers an
    // emulated x64 program (GetNativeSystemInfo says AMD64 there), or hides it as the oldest
    // Windows 10 builds do.
    const std::string refusal = "This package requires an Intel/AMD x64 Windows PC. Windows ARM64 and 32-bit are not "
                                "supported by this package.\r\n";
    const struct {
        const char* plan;
        std::string output;
    } cases[] = {
        {"value IsWow64Process2 native=0xAA64\n", refusal},
        {"value IsWow64Process2 native=0x14C\n", refusal},
        {"value IsWow64Process2 native=0x8664\n", "ok\r\n"},
        {"value IsWow64Process2 missing\n", "ok\r\n"},
    };
    for (const auto& test : cases) {
        const ProcessResult probe = runWithShim(testProgramFolder() / L"host_probe.exe", L"", test.plan);
        EXPECT_EQ(probe.output, test.output) << test.plan;
        EXPECT_EQ(probe.exitCode, test.output == refusal ? 1u : 0u) << test.plan;
        EXPECT_EQ(readShimRecords("GetProcAddress").size(), 1u) << test.plan << "looked up at run time";
    }
}
