#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "common/folders.h"
#include "common/handles.h"
#include "common/text.h"
#include "tests/support/wizard_tests.h"

// The wizard process from its start to its exit code: the hand-over of an uninstall to a
// temporary copy, the copy's wait for its parent and its removal at the next restart, and the
// starts that are refused. Message boxes of refused starts are answered by the shim, which
// records them.

namespace fs = std::filesystem;

namespace {

constexpr char ANOTHER_WIZARD[] = "Another Quellmark Console setup or uninstall wizard is already open.";

// Windows compares paths without case, and a program can learn its own path in the case that the
// disk spells ("temp" for "Temp"), so paths are compared folded.
std::wstring folded(std::wstring path)
{
    CharLowerBuffW(path.data(), static_cast<DWORD>(path.size()));
    return path;
}

// The session folder's list: SYSTEM and Administrators only, nothing inherited.
constexpr char SESSION_LIST[] = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";

std::vector<std::wstring> deletionsAtRestart(const fs::path& under)
{
    std::vector<std::wstring> found;
    const std::vector<std::wstring> renames = pendingRenames();
    for (size_t i = 0; i + 1 < renames.size(); i += 2)
        if (renames[i + 1].empty() && folded(renames[i]).find(folded(under.wstring())) != std::wstring::npos)
            found.push_back(folded(renames[i]));
    return found;
}

// Where uninstall sessions belong: the Windows folder's Temp, where the unelevated user cannot
// swap them, not the user's own temporary folder.
fs::path windowsTemp()
{
    return known(FOLDERID_Windows) / L"Temp";
}

std::vector<fs::path> sessionFolders(const fs::path& temporary)
{
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(temporary))
        if (entry.path().filename().wstring().starts_with(L"Quellmark-Uninstall-"))
            found.push_back(entry.path());
    return found;
}

std::vector<std::wstring> fileNames(const fs::path& folder)
{
    std::vector<std::wstring> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().wstring());
    return names;
}

std::vector<std::wstring> splitCommandLine(const std::string& commandLine)
{
    int count = 0;
    const LocalPtr<wchar_t*> split(CommandLineToArgvW(widen(commandLine).c_str(), &count));
    return std::vector<std::wstring>(split.get(), split.get() + count);
}

fs::path installedUninstaller()
{
    const fs::path uninstaller = appDir() / L"Uninstall.exe";
    fs::create_directories(appDir());
    fs::copy_file(wizardProgram(), uninstaller, fs::copy_options::overwrite_existing);
    return uninstaller;
}

// Cancel, and Yes to the exit question: the exit code the wizard ends with.
DWORD leave(const RunningWizard& running)
{
    press(running.wizard.cancel);
    answer(waitForBox(running.wizard.window), IDYES);
    return exitCodeOf(running.process.process.get());
}

// A start that shows its refusal in an error box of its own, which the shim answers.
struct RefusedStart {
    const char* name;
    std::wstring arguments;
    std::string plan;
    std::string message;
    bool reachesLock;
};

// The refusal's error box, as the shim records it.
std::vector<std::string> errorBox(const std::string& message)
{
    return {"caption=Quellmark Console style=" + std::to_string(MB_ICONERROR) + " owner=no text=" + message};
}

void expectRefusal(const RefusedStart& refusal, const fs::path& program = wizardProgram())
{
    SCOPED_TRACE(refusal.name);
    const ProcessResult result = runWithShim(program, refusal.arguments,
                                             refusal.plan + "answer MessageBoxW IDOK\nrecord CreateMutexW args=p,d,ws\n");
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(recordedFields("MessageBoxW", {"caption", "style", "owner", "text"}), errorBox(refusal.message));
    EXPECT_EQ(readShimRecords("CreateMutexW").size(), refusal.reachesLock ? 1u : 0u);
}

// An uninstall from the application folder still hands over; its copy is refused by the lock and
// leaves its session folder in place, not scheduled for removal.
void expectCopyRefusedByTheLock()
{
    const ShimProcess run = startWithShim(installedUninstaller(), L"--uninstall", "answer MessageBoxW IDOK\n");
    EXPECT_EQ(exitCodeOf(run.process.get()), 0u) << "the hand-over itself succeeds";
    const std::vector<ShimRecord> started = readShimRecords("CreateProcessW");
    ASSERT_EQ(started.size(), 1u);
    const UniqueHandle copy = openProcess(std::stoul(started[0]["child"]));
    EXPECT_EQ(exitCodeOf(copy.get()), 1u);
    EXPECT_EQ(recordedFields("MessageBoxW", {"caption", "style", "owner", "text"}), errorBox(ANOTHER_WIZARD));
    const std::vector<fs::path> sessions = sessionFolders(windowsTemp());
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_EQ(fileNames(sessions[0]), std::vector<std::wstring>{L"Uninstall.exe"});
    EXPECT_TRUE(deletionsAtRestart(sessions[0]).empty());
}

// The files of each uninstall session folder, which are then removed for the next run.
std::vector<std::vector<std::wstring>> takeSessions()
{
    std::vector<std::vector<std::wstring>> found;
    for (const fs::path& session : sessionFolders(windowsTemp())) {
        found.push_back(fileNames(session));
        fs::remove_all(session);
    }
    return found;
}

using WizardStartup = WizardTest;

} // namespace

TEST_F(WizardStartup, UninstallFromTheApplicationFolderHandsOverToATemporaryCopy)
{
    // Started through the application folder's path in other letters, which is the same folder
    // to Windows. The first answer of GetSystemWindowsDirectoryW says that the folder needs a
    // buffer of 261 characters, as Windows does for a folder that fills the usual 260.
    installedUninstaller();
    const fs::path shouted = L"C:\\PROGRAM FILES\\VOSTREL\\QUELLMARK CONSOLE\\UNINSTALL.EXE";
    // Wine keeps no access lists: the shim answers the one the session folder was given.
    const ShimProcess run =
        startWithShim(shouted, L"--uninstall",
                      "fail GetSystemWindowsDirectoryW call=1 return=261\nrecord CreateDirectoryW args=ws,sa\n"
                      "record AllowSetForegroundWindow args=d\nvalue GetSecurityInfo list=" +
                          std::string(SESSION_LIST) + "\n");
    ASSERT_EQ(exitCodeOf(run.process.get()), 0u);

    EXPECT_TRUE(sessionFolders(fs::temp_directory_path()).empty()) << "the user could swap it there";
    const std::vector<fs::path> sessions = sessionFolders(windowsTemp());
    ASSERT_EQ(sessions.size(), 1u);
    EXPECT_TRUE(std::regex_match(narrow(sessions[0].filename().wstring()),
                                 std::regex(R"(Quellmark-Uninstall-\{[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\})")));
    EXPECT_EQ(fileNames(sessions[0]), std::vector<std::wstring>{L"Uninstall.exe"});
    // Wine keeps no descriptor for a folder, so it is read on its way there: owned by
    // Administrators, protected, nothing inherited.
    EXPECT_EQ(recordedFields("CreateDirectoryW", {"arg1", "arg2"}),
              std::vector<std::string>{"arg1=" + narrow(sessions[0].wstring()) + " arg2=O:BA" + SESSION_LIST});

    const std::vector<ShimRecord> started = readShimRecords("CreateProcessW");
    ASSERT_EQ(started.size(), 1u);
    const fs::path copy = sessions[0] / L"Uninstall.exe";
    EXPECT_EQ(started[0]["application"], narrow(copy.wstring()));
    EXPECT_EQ(splitCommandLine(started[0]["command"]),
              (std::vector<std::wstring>{copy.wstring(), L"--uninstall", L"--parent", std::to_wstring(run.id)}));
    EXPECT_EQ(recordedFields("AllowSetForegroundWindow", {"arg1"}),
              std::vector<std::string>{"arg1=" + started[0]["child"]})
        << "the copy may bring its window to the front";

    running = handedOver();
    EXPECT_EQ(textOf(running.wizard.window), L"Quellmark Console \u2014 Uninstall");
    EXPECT_TRUE(deletionsAtRestart(sessions[0]).empty()) << "nothing is scheduled while the copy runs";
    // Signing out or restarting ends the copy with its window open: it schedules them then, once.
    SendMessageW(running.wizard.window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
    const std::vector<std::wstring> scheduled = deletionsAtRestart(sessions[0]);
    EXPECT_EQ(leave(running), 0u);
    EXPECT_EQ(deletionsAtRestart(sessions[0]), scheduled);
    EXPECT_EQ(scheduled, (std::vector<std::wstring>{folded(L"\\??\\" + copy.wstring()),
                                                    folded(L"\\??\\" + sessions[0].wstring())}))
        << "the file before its folder";
}

// The copy runs from a folder named like a session folder in the Windows folder's Temp, where
// every user may create folders, but without the session's owner and list: it could be anyone's.
TEST_F(WizardStartup, TheCopyWaitsForItsParentBeforeTakingTheLock)
{
    const fs::path session = windowsTemp() / L"Quellmark-Uninstall-{waiting}";
    fs::create_directories(session);
    fs::copy_file(wizardProgram(), session / L"Uninstall.exe");

    // A parent that lives until the test ends it.
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION parent{};
    std::wstring commandLine = quote(wizardProgram().wstring());
    ASSERT_TRUE(CreateProcessW(wizardProgram().c_str(), commandLine.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED,
                               nullptr, nullptr, &startup, &parent));
    const UniqueHandle parentProcess(parent.hProcess);
    const UniqueHandle parentThread(parent.hThread);

    running.process = startWithShim(session / L"Uninstall.exe",
                                    L"--uninstall --parent " + std::to_wstring(parent.dwProcessId),
                                    "record WaitForSingleObject args=p,d\nrecord CreateMutexW args=p,d,ws\n");
    const auto waits = [] { return std::ranges::count(recordedFields("WaitForSingleObject", {"arg2"}), "arg2=10000"); };
    waitFor(waits, "the copy to wait for its parent");
    EXPECT_TRUE(readShimRecords("CreateMutexW").empty());
    EXPECT_EQ(FindWindowW(L"QuellmarkConsoleSetup", nullptr), nullptr);

    TerminateProcess(parentProcess.get(), 0);
    running.wizard = findWizard(running.process.id);
    EXPECT_EQ(recordedFields("CreateMutexW", {"arg3"}),
              std::vector<std::string>{"arg3=Global\\Vostrel.QuellmarkConsole.Setup"});
    EXPECT_EQ(leave(running), 0u);
    EXPECT_TRUE(deletionsAtRestart(session).empty()) << "the restart would delete through what it has become";
}

TEST_F(WizardStartup, StartsRefusedWhileAnotherWizardIsOpen)
{
    running = startWizard(L"");
    const RefusedStart refusals[] = {
        {"second wizard", L"", "", ANOTHER_WIZARD, true},
        {"second uninstall wizard", L"--uninstall", "", ANOTHER_WIZARD, true},
        {"option in another case", L"--Uninstall", "", "Unknown setup option", false},
        {"option with a slash", L"/uninstall", "", "Unknown setup option", false},
        {"not an administrator", L"", "fail CheckTokenMembership call=1 return=0\n",
         "Administrator permission is required. Right-click setup and choose Run as administrator.", false},
        // Wine keeps no owners: the shim answers for the folder below the drive's root.
        {"log in another account's folder", L"--log C:\\users\\setup.log",
         "value GetSecurityInfo owner=S-1-5-21-1-2-3-1001 call=2\n",
         "The log file C:\\users\\setup.log cannot be used: C:\\users is owned by another account, not by "
         "Administrators or the system. Choose a file in a folder that only administrators can change, or leave out "
         "--log, and try again.",
         false},
    };
    for (const RefusedStart& refusal : refusals)
        expectRefusal(refusal);
    expectCopyRefusedByTheLock();

    reportWindowsVersion(L"win7");
    expectRefusal({"Windows 7", L"", "", "Windows 10/11 x64 or Windows Server 2019/2022/2025 x64 is required.", false});

    EXPECT_EQ(viewOf(running.wizard).title, L"Welcome to Quellmark Console Setup") << "the open wizard is unaffected";
    EXPECT_TRUE(responsive(running.wizard.window));
}

// The first run shows why it could not hand over and ends with exit code 1; what it had made
// stays where it is.
TEST_F(WizardStartup, AnUninstallSessionThatCannotBeMadeIsReported)
{
    const fs::path uninstaller = installedUninstaller();
    const struct {
        const char* name;
        std::string fault; // of a call that returns 0
        std::string step;
        DWORD code;
        std::vector<std::vector<std::wstring>> left; // files of each session folder
    } refusals[] = {
        {"no Windows folder", "GetSystemWindowsDirectoryW call=1 error=5", "Locate temporary folder", 5, {}},
        {"no session folder", "CreateDirectoryW call=1 error=5", "Create uninstall session", 5, {}},
        {"no copy", "CopyFileW call=1 error=112", "Prepare uninstall wizard", 112, {{}}},
        {"copy not started", "CreateProcessW call=1 error=5", "Open uninstall wizard", 5, {{L"Uninstall.exe"}}},
    };
    for (const auto& refusal : refusals) {
        const std::string text = refusal.step + " (" + std::to_string(refusal.code) + "): " +
                                 narrow(systemMessage(refusal.code));
        const std::string plan = "fail " + refusal.fault + " return=0\n";
        expectRefusal({refusal.name, L"--uninstall", plan, text, false}, uninstaller);
        EXPECT_EQ(takeSessions(), refusal.left);
        EXPECT_TRUE(pendingRenames().empty()) << "nothing is scheduled for the restart";
    }
}

TEST_F(WizardStartup, AFailingMessageLoopEndsWithExitCode1)
{
    // GetMessageW reports -1 on its first call, with the window open.
    const ProcessResult result = runWithShim(wizardProgram(), L"", "fail GetMessageW call=1 error=1400 return=-1\n");
    EXPECT_EQ(result.exitCode, 1u);
}
