#include <winsock2.h>
#include <windows.h>
#include <psapi.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/folders.h"
#include "common/handles.h"
#include "common/text.h"
#include "tests/support/installation.h"
#include "tests/support/loopback_server.h"
#include "tests/support/modules.h"
#include "tests/support/named_rows.h"
#include "tests/support/shim.h"
#include "tests/support/wizard_tests.h"

// The wizard runs elevated from wherever it was downloaded to. These tests plant DLLs named like
// Windows' own beside it and check that it never loads one of them.

namespace fs = std::filesystem;
using testing::HasSubstr;
using testing::IsEmpty;

namespace {

const fs::path WIZARD = QM_WIZARD;

// Windows loads these from System32 whatever the search order says (Session Manager's
// KnownDLLs on Windows 10 and 11); a program may import them. Wine keeps no such list.
const std::set<std::string> KNOWN_DLLS = {
    "advapi32.dll", "clbcatq.dll", "combase.dll",  "comdlg32.dll", "coml2.dll",    "difxapi.dll",
    "gdi32.dll",    "gdiplus.dll", "imagehlp.dll", "imm32.dll",    "kernel32.dll", "msctf.dll",
    "msvcrt.dll",   "normaliz.dll", "nsi.dll",     "ole32.dll",    "oleaut32.dll", "psapi.dll",
    "rpcrt4.dll",   "sechost.dll", "setupapi.dll", "shcore.dll",   "shell32.dll",  "shlwapi.dll",
    "user32.dll",   "wldap32.dll", "ws2_32.dll"};

// DLLs outside that list that the wizard could load, itself or through the system's DLLs: the
// loader looks for each in the program's folder first unless the program has narrowed the search.
// Left out where Wine falls short of Windows, whatever the program does: version.dll, which
// Wine's own user32 imports (Windows' does not) and takes from the program's folder before the
// program runs; msimg32.dll and crypt32.dll, which Wine's uxtheme and winhttp delay-load through
// the search path the process started with, ignoring the one the program set.
const std::vector<std::wstring> PLANTED = {
    L"winhttp",  L"bcrypt",   L"comctl32", L"uxtheme",  L"dwmapi",    L"cryptbase", L"cryptsp",
    L"rsaenh",   L"userenv",  L"profapi",  L"sspicli",  L"secur32",   L"iphlpapi",  L"dnsapi",
    L"mswsock",  L"ntmarta",  L"propsys",  L"oleacc",   L"wininet",   L"urlmon",    L"netapi32",
    L"wtsapi32", L"winmm",    L"dbghelp",  L"hnetcfg",  L"fwpuclnt",  L"wintrust",  L"msasn1",
    L"apphelp",  L"windowscodecs"};

std::string lowerCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// The DLLs named in the program's import table, which the loader resolves before the program's
// first line, in lower case. The program is mapped as an image, not run.
std::set<std::string> importedDlls(const fs::path& program)
{
    const UniqueModule module = mapImage(program);
    const auto* base = reinterpret_cast<const char*>(reinterpret_cast<ULONG_PTR>(module.get()) & ~ULONG_PTR{3});
    const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS64*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const DWORD imports = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    std::set<std::string> names;
    for (auto* library = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports); library->Name != 0; ++library)
        names.insert(lowerCase(base + library->Name));
    return names;
}

} // namespace

TEST(WizardImports, NameOnlyDllsThatWindowsTakesFromSystem32)
{
    const std::set<std::string> imported = importedDlls(WIZARD);
    std::vector<std::string> searched;
    std::set_difference(imported.begin(), imported.end(), KNOWN_DLLS.begin(), KNOWN_DLLS.end(),
                        std::back_inserter(searched));
    EXPECT_THAT(searched, IsEmpty()) << "loaded before the wizard can narrow the search";
    EXPECT_TRUE(imported.count("kernel32.dll")) << "the import table was read";
}

namespace {

BOOL CALLBACK findVisibleWindow(HWND window, LPARAM found)
{
    auto* target = reinterpret_cast<std::pair<DWORD, std::wstring>*>(found);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != target->first || !IsWindowVisible(window))
        return TRUE;
    std::wstring title(256, L'\0');
    title.resize(static_cast<std::size_t>(std::max(0, GetWindowTextW(window, title.data(), 256))));
    target->second = title.empty() ? L"(untitled)" : title;
    return FALSE;
}

// The title of a visible top-level window of the process, empty when it has none.
std::wstring visibleWindow(DWORD process)
{
    std::pair<DWORD, std::wstring> found{process, L""};
    EnumWindows(findVisibleWindow, reinterpret_cast<LPARAM>(&found));
    return found.second;
}

// Where the process loaded the DLL from, in lower case; empty when it has not loaded it.
std::string loadedFrom(HANDLE process, const std::wstring& dll)
{
    HMODULE modules[1024];
    DWORD size = 0;
    if (!EnumProcessModules(process, modules, sizeof modules, &size))
        return {};
    for (DWORD i = 0; i < std::min<DWORD>(size / sizeof(HMODULE), 1024); ++i) {
        std::wstring path(MAX_PATH, L'\0');
        path.resize(GetModuleFileNameExW(process, modules[i], path.data(), MAX_PATH));
        if (_wcsicmp(fs::path(path).filename().c_str(), dll.c_str()) == 0)
            return lowerCase(narrow(path));
    }
    return {};
}

struct PlantedRun {
    std::wstring shown;               // title of the window or box it showed, empty if none
    DWORD exitCode = STILL_ACTIVE;    // when it ended by itself
    std::vector<std::string> loaded;  // planted DLLs that a process loaded
    std::string commonControls;       // where it loaded the common controls from
};

class PlantedDlls : public testing::Test {
protected:
    // A download folder with the wizard and a planted DLL for every name. It lies in the test's
    // own prefix: Wine links the user's Downloads folder to the Linux home folder.
    void SetUp() override
    {
        folder_ = fs::temp_directory_path() / L"Downloads";
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        fs::copy_file(WIZARD, folder_ / WIZARD.filename());
        for (const std::wstring& name : PLANTED)
            fs::copy_file(exePath().parent_path() / L"planted_dll.dll", folder_ / (name + L".dll"));
    }

    fs::path plantedWizard() const { return folder_ / WIZARD.filename(); }

    // Starts the planted wizard, waits until it waits for the user (its window or an error box)
    // or has ended, and ends it.
    PlantedRun run(const std::wstring& arguments)
    {
        preferPlantedDlls();
        const fs::path program = plantedWizard();
        std::wstring commandLine = quote(program.wstring()) + L" " + arguments;
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION started{};
        if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                            folder_.c_str(), &startup, &started))
            throw std::runtime_error("cannot start the planted wizard (" + std::to_string(GetLastError()) + ")");
        CloseHandle(started.hThread);
        const UniqueHandle process(started.hProcess);
        return waitAndEnd(process.get(), started.dwProcessId);
    }

    // Wine takes a DLL from the program's folder only when told to prefer DLLs that are not its
    // own, as Windows always would. Its overrides for one program live in the registry; the
    // WINEDLLOVERRIDES variable of a Windows parent does not reach the child under Wine 8.
    void preferPlantedDlls()
    {
        const std::wstring key = L"Software\\Wine\\AppDefaults\\" + WIZARD.filename().wstring() + L"\\DllOverrides";
        const wchar_t order[] = L"native,builtin";
        for (const std::wstring& name : PLANTED)
            ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), name.c_str(), REG_SZ, order, sizeof order),
                      ERROR_SUCCESS);
    }

    PlantedRun waitAndEnd(HANDLE process, DWORD id)
    {
        PlantedRun result;
        // Idle means that its message loop has shown and painted what it shows and waits.
        const DWORD idle = WaitForInputIdle(process, 60000);
        if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0) {
            GetExitCodeProcess(process, &result.exitCode);
        } else {
            EXPECT_EQ(idle, 0u) << "the wizard neither ended nor waited for the user";
            result.shown = visibleWindow(id);
            result.commonControls = loadedFrom(process, L"comctl32.dll");
            TerminateProcess(process, 1);
            WaitForSingleObject(process, 10000);
        }
        result.loaded = loadedPlantedDlls();
        return result;
    }

    std::vector<std::string> loadedPlantedDlls() const
    {
        std::vector<std::string> loaded;
        for (const auto& file : fs::directory_iterator(folder_))
            if (file.path().extension() == L".loaded")
                loaded.push_back(narrow(file.path().stem().wstring()));
        return loaded;
    }

    fs::path folder_;
};

} // namespace

struct PlantedCase : NamedRow {
    const wchar_t* windowsVersion; // what the prefix reports
    const wchar_t* arguments;
    const wchar_t* shown;          // title of what the wizard shows and waits on
};

class PlantedDllsInEveryMode : public PlantedDlls, public testing::WithParamInterface<PlantedCase> {};

TEST_P(PlantedDllsInEveryMode, AreNeverLoaded)
{
    const PlantedCase& scenario = GetParam();
    reportWindowsVersion(scenario.windowsVersion);
    const PlantedRun run = this->run(scenario.arguments);
    EXPECT_THAT(run.loaded, IsEmpty()) << "exit code " << run.exitCode;
    EXPECT_EQ(narrow(run.shown), narrow(scenario.shown)) << "exit code " << run.exitCode;
    // Delayed, the common controls still come in the version that the manifest asks for.
    EXPECT_THAT(run.commonControls, HasSubstr("\\amd64_microsoft.windows.common-controls_6595b64144ccf1df_6."));
}

// The host refusal is an error box of the elevated process: drawing it loads the theme DLLs. On
// a suitable host the wizard shows its window (an uninstall started from outside the application
// folder runs in place).
INSTANTIATE_TEST_SUITE_P(
    Wizard, PlantedDllsInEveryMode,
    testing::Values(PlantedCase{"InstallRefusedByTheHost", L"win7", L"", L"Quellmark Console"},
                    PlantedCase{"UninstallRefusedByTheHost", L"win7", L"--uninstall", L"Quellmark Console"},
                    PlantedCase{"InstallOnItsWindow", L"win10", L"", L"Quellmark Console 0.2.3 build 0012 \u2014 Setup"},
                    PlantedCase{"UninstallOnItsWindow", L"win10", L"--uninstall", L"Quellmark Console \u2014 Uninstall"}),
    rowName);

// The size of the program's certificate table (its Authenticode signatures), read from the file.
DWORD certificateTableSize(const fs::path& program)
{
    std::ifstream file(program, std::ios::binary);
    IMAGE_DOS_HEADER dos{};
    IMAGE_NT_HEADERS64 headers{};
    file.read(reinterpret_cast<char*>(&dos), sizeof dos);
    file.seekg(dos.e_lfanew);
    file.read(reinterpret_cast<char*>(&headers), sizeof headers);
    return file ? headers.OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY].Size : 0;
}

// A whole installation through the window of the planted wizard, under the test shim for the
// service recovery setting that Wine 8 refuses. The uninstaller it leaves is the wizard byte for
// byte, and so carries the wizard's signature when the build signs it.
TEST_F(PlantedDlls, AreNeverLoadedThroughAWholeInstallation)
{
    preferPlantedDlls();
    const unsigned port = unusedLoopbackPort();
    // With its pauses: a shortened health wait gives up before a loaded machine starts the console.
    const ShimProcess process = startWithShim(plantedWizard(), L"", "");
    const auto ended = [&] { return WaitForSingleObject(process.process.get(), 0) == WAIT_OBJECT_0; };
    waitFor([&] { return ended() || FindWindowW(L"QuellmarkConsoleSetup", nullptr) != nullptr; }, "the wizard window");
    ASSERT_THAT(loadedPlantedDlls(), IsEmpty()) << "before the wizard window opened";
    const Wizard wizard = findWizard(process.id);
    askToInstall(wizard, port);
    waitFor([&] { return ended() || (shown(wizard.next) && textOf(wizard.next) == L"Finish"); }, "the done page",
            INSTALL_WAIT_MS);
    EXPECT_THAT(loadedPlantedDlls(), IsEmpty());
    ASSERT_FALSE(ended()) << "the wizard ended during the installation";
    EXPECT_EQ(healthAnswer(port), 200) << narrow(textOf(wizard.body));
    TerminateProcess(process.process.get(), 1);

    const fs::path uninstaller = appDir() / L"Uninstall.exe";
    EXPECT_TRUE(readBytes(uninstaller) == readBytes(WIZARD)) << "the uninstaller is the wizard as built";
    EXPECT_EQ(certificateTableSize(uninstaller) > 0, QM_WIZARD_SIGNED != 0) << "signed exactly when the build signs";
}
