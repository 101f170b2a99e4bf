#pragma once

#include <windows.h>

#include <filesystem>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// Runs the install and uninstall sequences through headless_setup.exe (built beside the test
// programs), under the test shim with the given plan, in the test's own prefix.

struct HeadlessRun {
    DWORD exitCode = 0;
    std::vector<std::pair<int, std::string>> reports; // every progress report, in order
    std::string outcome;                              // "done ..." or the failure text alone
    std::string output;                               // everything it printed
};

HeadlessRun headlessInstall(unsigned port, bool firewall, const std::string& plan = "");
HeadlessRun headlessUninstall(bool deleteData, const std::string& plan = "");

// Starts headless_setup with these arguments under a plan that holds a "hang" directive, waits
// until it has got there and kills it at that point, as a power cut or an administrator ending
// the process would. Raises when it ends before.
void headlessKilledAt(const std::wstring& arguments, const std::string& plan);

// The same for program, any program that the shim can stop (the wizard, say).
void killedAt(const std::filesystem::path& program, const std::wstring& arguments, const std::string& plan);

// Runs headless_setup with these arguments under a plan that holds a "pause" directive; once the
// run waits there, meanwhile runs (on another thread), then the run goes on to its end.
HeadlessRun headlessPausedAt(const std::wstring& arguments, const std::string& plan,
                             const std::function<void()>& meanwhile);

// The same for program, whose exit code alone the result then holds.
HeadlessRun pausedAt(const std::filesystem::path& program, const std::wstring& arguments, const std::string& plan,
                     const std::function<void()>& meanwhile);

// Runs what the Installed-apps entry names as its uninstall command (for a headless
// installation, a copy of headless_setup.exe) with "uninstall 0", keeping the data.
HeadlessRun uninstallThroughInstalledApps();

// The program itself, which an installation copies as its uninstaller.
std::wstring headlessProgram();
