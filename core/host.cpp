#include "core/host.h"

#include <windows.h>

#include <stdexcept>

namespace {

bool isAdministrator()
{
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID administrators = nullptr;
    BOOL member = FALSE;
    // If either call fails, member stays FALSE and the process counts as not elevated.
    AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS,
                             0, 0, 0, 0, 0, 0, &administrators);
    if (administrators != nullptr) {
        CheckTokenMembership(nullptr, administrators, &member);
        FreeSid(administrators);
    }
    return member != FALSE;
}

// Windows 11 on ARM64 runs this x64 program emulated and then GetNativeSystemInfo answers AMD64
// too; IsWow64Process2 tells the machine underneath. Windows 10 builds before 1709 lack it, and
// they cannot run x64 programs on ARM64 at all, so there GetNativeSystemInfo has the last word.
bool nativeMachineIsX64()
{
    using IsWow64Process2Function = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
    const auto isWow64Process2 = reinterpret_cast<IsWow64Process2Function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "IsWow64Process2")));
    USHORT processMachine = IMAGE_FILE_MACHINE_UNKNOWN;
    USHORT nativeMachine = IMAGE_FILE_MACHINE_UNKNOWN;
    // A failed call tells nothing, and GetNativeSystemInfo's answer stands.
    if (isWow64Process2 == nullptr || !isWow64Process2(GetCurrentProcess(), &processMachine, &nativeMachine))
        return true;
    return nativeMachine == IMAGE_FILE_MACHINE_AMD64;
}

bool isX64()
{
    SYSTEM_INFO info{};
    GetNativeSystemInfo(&info);
    return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 && nativeMachineIsX64();
}

bool isWindows10OrLater()
{
    // GetVersionEx lies to programs without the right manifest; ntdll tells the truth.
    using RtlGetVersionFunction = LONG(WINAPI*)(RTL_OSVERSIONINFOW*);
    const auto rtlGetVersion = reinterpret_cast<RtlGetVersionFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
    RTL_OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof version;
    return rtlGetVersion != nullptr && rtlGetVersion(&version) == 0 && version.dwMajorVersion > 9;
}

} // namespace

void checkHost()
{
    if (!isAdministrator())
        throw std::runtime_error(
            "Administrator permission is required. Right-click setup and choose Run as administrator.");
    if (!isX64())
        throw std::runtime_error("This package requires an Intel/AMD x64 Windows PC. Windows ARM64 and "
                                 "32-bit are not supported by this package.");
    if (!isWindows10OrLater())
        throw std::runtime_error("Windows 10/11 x64 or Windows Server 2019/2022/2025 x64 is required.");
}
