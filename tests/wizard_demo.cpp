// The demonstration of scripts/demo.sh: drives the wizard through a whole installation and
// uninstallation on the current display, as a user would, prints what each step left on the
// machine and writes a screenshot of every page. The wizard runs with the test shim and an
// empty plan, which only supplies what Wine 8 lacks (the service recovery flag, above all).
//
//   wizard_demo <wizard> <screenshot folder>   the whole run
//   wizard_demo --open <wizard>                opens the wizard for the user, then shows what it left
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "common/folders.h"
#include "common/handles.h"
#include "common/product.h"
#include "common/text.h"
#include "tests/support/http_get.h"
#include "tests/support/loopback_server.h"
#include "tests/support/services.h"
#include "tests/support/shim.h"
#include "tests/support/wizard_driver.h"

namespace fs = std::filesystem;

namespace {

fs::path shots;

// Prints text, every line after the first indented like the first.
void say(std::wstring text)
{
    std::erase(text, L'\r');
    const size_t indent = text.find_first_not_of(L' ');
    for (size_t at = text.find(L'\n'); at != std::wstring::npos; at = text.find(L'\n', at + 1))
        text.insert(at + 1, indent == std::wstring::npos ? 0 : indent, L' ');
    std::printf("%s\n", narrow(text).c_str());
    std::fflush(stdout);
}

void shoot(const Wizard& wizard, const std::string& name)
{
    screenshot(wizard.window, name, shots);
    say(L"  [" + widen(name) + L"] " + textOf(wizard.title));
}

UniqueHandle start(const fs::path& program, const std::wstring& arguments)
{
    return startWithShim(program, arguments, "").process;
}

// Prints every status that the worker reports until the final page shows.
void followTheWork(const Wizard& wizard, const std::string& mode)
{
    std::wstring last;
    bool shot = false;
    waitFor(
        [&] {
            const std::wstring status = textOf(wizard.body);
            if (status != last && !textOf(wizard.next).starts_with(L"Finish")) {
                say(L"    " + std::to_wstring(barPosition(wizard.progress)) + L"%  " + status);
                last = status;
            }
            const bool finished = textOf(wizard.next) == L"Finish";
            if (!shot && !finished && shown(wizard.progress)) {
                shoot(wizard, mode + "-4-working");
                shot = true;
            }
            return finished;
        },
        "the final page", 300000);
}

void finish(const Wizard& wizard, HANDLE process, const char* name)
{
    shoot(wizard, name);
    say(L"    " + textOf(wizard.body));
    if (shown(wizard.choice) && checked(wizard.choice)) {
        say(L"  Clearing \"" + textOf(wizard.choice) + L"\": this display has no browser.");
        click(wizard.choice);
    }
    press(wizard.next);
    say(L"  Finish: the wizard ended with exit code " + std::to_wstring(exitCodeOf(process)));
}

void install(const fs::path& wizardProgram, unsigned port)
{
    say(L"\n== Installation: " + wizardProgram.wstring());
    const UniqueHandle process = start(wizardProgram, L"");
    const Wizard wizard = findWizard();
    say(L"  Window: " + textOf(wizard.window));
    shoot(wizard, "install-1-welcome");
    click(wizard.next);
    typeInto(wizard.portEdit, std::to_wstring(port));
    shoot(wizard, "install-2-settings");
    click(wizard.next);
    shoot(wizard, "install-3-ready");
    press(wizard.next);
    followTheWork(wizard, "install");
    finish(wizard, process.get(), "install-5-done");
}

void uninstall()
{
    const fs::path uninstaller = appDir() / L"Uninstall.exe";
    say(L"\n== Uninstallation, as Installed apps starts it: " + quote(uninstaller.wstring()) + L" --uninstall");
    const UniqueHandle first = start(uninstaller, L"--uninstall");
    say(L"  The first run handed over to a temporary copy and ended with exit code " +
        std::to_wstring(exitCodeOf(first.get())));
    const Wizard wizard = findWizard();
    DWORD copyId = 0;
    GetWindowThreadProcessId(wizard.window, &copyId);
    const UniqueHandle copy(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, copyId));
    say(L"  Window: " + textOf(wizard.window));
    shoot(wizard, "uninstall-1-welcome");
    click(wizard.next);
    shoot(wizard, "uninstall-2-settings");
    click(wizard.next);
    shoot(wizard, "uninstall-3-ready");
    press(wizard.next);
    followTheWork(wizard, "uninstall");
    finish(wizard, copy.get(), "uninstall-5-done");
}

void listFolder(const fs::path& folder)
{
    if (!fs::exists(folder)) {
        say(L"  " + folder.wstring() + L": absent");
        return;
    }
    size_t files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        files += entry.is_regular_file() ? 1 : 0;
    say(L"  " + folder.wstring() + L": " + std::to_wstring(files) + L" files");
    for (const auto& entry : fs::directory_iterator(folder))
        say(L"    " + entry.path().filename().wstring() + (entry.is_directory() ? L"\\" : L""));
}

void showService()
{
    const DWORD state = serviceState();
    if (state == 0) {
        say(L"  Service QuellmarkConsole: not registered");
        return;
    }
    const ServiceConfig config = consoleServiceConfig();
    const wchar_t* states[] = {L"?", L"stopped", L"starting", L"stopping", L"running", L"?", L"?", L"paused"};
    say(L"  Service QuellmarkConsole: " + std::wstring(states[state & 7]) +
        (config.start == SERVICE_AUTO_START ? L", automatic start" : L", start type " + std::to_wstring(config.start)) +
        L", account " + config.account + L"\n  " + config.binaryPath);
}

void showInstalledAppsEntry()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, UNINSTALL_KEY, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
        say(L"  Installed-apps entry: absent");
        return;
    }
    say(L"  Installed-apps entry HKLM\\" + std::wstring(UNINSTALL_KEY) + L":");
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD nameLength = 256;
        DWORD type = 0;
        BYTE data[4096] = {};
        DWORD size = sizeof data - sizeof(wchar_t);
        if (RegEnumValueW(key, index, name, &nameLength, nullptr, &type, data, &size) != ERROR_SUCCESS)
            break;
        const std::wstring value = type == REG_DWORD ? std::to_wstring(*reinterpret_cast<DWORD*>(data))
                                                     : std::wstring(reinterpret_cast<wchar_t*>(data));
        say(L"    " + std::wstring(name) + L" = " + value);
    }
    RegCloseKey(key);
}

void showSettings()
{
    std::ifstream file(appDir() / L"console.ini", std::ios::binary);
    if (!file)
        return;
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    say(L"  " + (appDir() / L"console.ini").wstring() + L":");
    say(L"    " + widen(text.substr(0, text.find_last_not_of("\r\n") + 1)));
}

void inspect(unsigned port)
{
    say(L"\n== What the machine holds now");
    if (port != 0) {
        const HttpAnswer health = httpGet(port, "/api/v1/health");
        say(L"  GET http://127.0.0.1:" + std::to_wstring(port) + L"/api/v1/health -> " +
            std::to_wstring(health.status) + L" " + widen(health.body.substr(0, health.body.find_last_not_of("\r\n") + 1)));
    }
    listFolder(appDir());
    listFolder(dataDir());
    listFolder(shortcuts());
    showSettings();
    showService();
    showInstalledAppsEntry();
}

unsigned installedPort()
{
    return GetPrivateProfileIntW(L"Console", L"Port", 0, (appDir() / L"console.ini").c_str());
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    try {
        if (argc == 3 && std::wstring(argv[1]) == L"--open") {
            const UniqueHandle wizard = start(argv[2], L"");
            WaitForSingleObject(wizard.get(), INFINITE);
            DWORD exitCode = 0;
            GetExitCodeProcess(wizard.get(), &exitCode);
            say(L"The wizard ended with exit code " + std::to_wstring(exitCode));
            inspect(installedPort());
            return 0;
        }
        if (argc != 3)
            throw std::runtime_error("usage: wizard_demo <wizard> <screenshot folder> | --open <wizard>");
        shots = argv[2];
        drawOwnTitleBars();
        // A port that nothing on this computer uses, so that the demonstration never meets a busy 8080.
        const unsigned port = unusedLoopbackPort();
        install(argv[1], port);
        inspect(port);
        uninstall();
        inspect(0);
        return 0;
    } catch (const std::exception& failure) {
        std::printf("wizard_demo: %s\n", failure.what());
        return 1;
    }
}
