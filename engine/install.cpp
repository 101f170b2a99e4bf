#include "engine/install.h"

#include <windows.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

#include "common/failure.h"
#include "common/folders.h"
#include "common/handles.h"
#include "common/text.h"
#include "common/product.h"
#include "common/wizard_state.h"
#include "engine/application_folder.h"
#include "engine/data_folder.h"
#include "engine/health.h"
#include "engine/markers.h"
#include "engine/preinstall_checks.h"
#include "engine/runtime_check.h"
#include "engine/settings.h"
#include "engine/setup_log.h"
#include "package/extract.h"
#include "package/guarded_files.h"
#include "windows/firewall.h"
#include "windows/installed_apps.h"
#include "windows/service.h"

namespace fs = std::filesystem;

FirewallAnswer (*askFirewall)(const std::string& text) = nullptr;

namespace {

struct Folders {
    fs::path application = appDir();
    fs::path data = dataDir();
    fs::path menu = shortcuts();
};

// What this run has created so far, and so what a rollback has to undo. The data folder is not
// among them: it may hold the accounts and logs of an earlier installation.
struct Undo {
    bool serviceCreated = false;
    bool ruleAdded = false;
    bool registered = false;
    bool menuCreated = false;
    bool appCreated = false;
};

void copyUninstaller(const fs::path& application)
{
    const fs::path target = application / UNINSTALLER_FILE;
    noReparse(target);
    // Fail if it exists: the folder is new, so anything there was not put there by us.
    require(CopyFileW(exePath().c_str(), target.c_str(), TRUE) != FALSE, "Install uninstall wizard");
}

void startConsoleService()
{
    const UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    require(manager != nullptr, "Open Console service manager");
    const UniqueService service(OpenServiceW(manager.get(), SERVICE_NAME, SERVICE_START));
    require(service != nullptr, "Open Console service for startup");
    require(StartServiceW(service.get(), 0, nullptr) != FALSE, "Start Console service");
}

// Returns whether the rule was added. The user may retry as often as needed, go on without the
// rule (the console then answers only on this computer) or cancel the whole installation.
// console.ini says Firewall=1 from just before the first attempt: an installation stopped at any
// moment after it still has its rule removed by the uninstall, while one stopped before it never
// sends the uninstall after a rule that is not there (which fails where the firewall is off).
bool openFirewall(const fs::path& application, unsigned port)
{
    writeSettings(application, {port, true});
    for (;;) {
        try {
            firewall(true, port);
            return true;
        } catch (const std::exception& problem) {
            const std::string text = problem.what();
            logFirewallFailure(text); // before the question, so that the prompt can point to it
            const FirewallAnswer answer = askFirewall ? askFirewall(text) : FirewallAnswer::Cancel;
            if (answer == FirewallAnswer::Continue) {
                writeSettings(application, {port, false});
                return false;
            }
            if (answer != FirewallAnswer::TryAgain)
                throw std::runtime_error("Installation cancelled after the firewall rule could not be created.");
        }
    }
}

// A rule that cannot let anyone in yet is still the rule that was asked for, and the installation
// succeeds; the final page and the setup log say what keeps it from working, so that nobody is
// sent to try the console from another device in vain.
void noteFirewallHindrance()
{
    const std::string hindrance = firewallRuleHindrance();
    firewallNotice = widen(hindrance);
    if (!hindrance.empty())
        logSetupEvent(hindrance); // the final page says the same, so a log that cannot be written loses nothing
}

void createShortcuts(const fs::path& menu, unsigned port, Undo& undo)
{
    noReparse(menu);
    fs::create_directories(menu);
    undo.menuCreated = true;
    writeText(menu / L"Open Console.url",
              "[InternetShortcut]\r\nURL=http://localhost:" + std::to_string(port) + "/\r\n");
    writeText(menu / L"Installation manual.url", "[InternetShortcut]\r\nURL=" + narrow(MANUAL_URL) + "\r\n");
}

// What a stopped run left, as the checks found it, goes as an uninstallation would take it: the
// rule that its settings record, the folder (marker last), then the entry.
void clearRemains(const Folders& folders)
{
    const Settings recorded = readSettings(folders.application);
    if (recorded.ruleAdded)
        firewall(false, recorded.port);
    removeApplicationFolder(folders.application);
    registerUninstall(false);
}

// From its creation on, the application folder carries our marker, then its uninstaller, then
// its Installed-apps entry, so that a run stopped at any later moment leaves an installation
// that Installed apps can remove, whatever the rest of the folder holds by then.
void createApplicationFolder(const Folders& folders, Undo& undo)
{
    noReparse(folders.application);
    fs::create_directories(folders.application);
    undo.appCreated = true;
    writeText(folders.application / MARKER_FILE, APP_MARKER);
    copyUninstaller(folders.application);
    undo.registered = true; // also a half-written entry has to go
    registerUninstall(true);
}

// Everything after the checks: each step records what it created before the next one starts.
void installSteps(const Folders& folders, bool remains, unsigned port, bool firewallWanted, const Progress& progress,
                  Undo& undo)
{
    prepareDataFolder(folders.data);
    if (remains)
        clearRemains(folders);
    createApplicationFolder(folders, undo);
    extractPayload(folders.application, progress);
    writeSettings(folders.application, {port, false});

    progress(70, L"Checking bundled runtime...");
    checkRuntime(folders.application);

    progress(80, L"Registering and starting Windows Service...");
    createService();
    undo.serviceCreated = true;
    startConsoleService();
    waitHealthy(port);

    if (firewallWanted) {
        progress(90, L"Allowing access on private and domain networks...");
        undo.ruleAdded = openFirewall(folders.application, port);
    }
    firewallAdded = undo.ruleAdded;
    if (undo.ruleAdded)
        noteFirewallHindrance();
    createShortcuts(folders.menu, port, undo);
    progress(100, L"Installation complete.");
}

// Undoes in the reverse order of dependence: the service first, since it runs from the
// application folder. The entry goes last: until the folder is gone, it is the way back in for
// a rollback that stops part-way. The first undo that fails stops the rollback, so that nothing
// is deleted from under something that is still in place.
[[noreturn]] void rollBack(const Folders& folders, unsigned port, const Undo& undo, const std::string& message)
{
    try {
        if (undo.serviceCreated)
            stopDeleteService();
        if (undo.ruleAdded)
            firewall(false, port);
        if (undo.menuCreated)
            removeTree(folders.menu);
        if (undo.appCreated)
            removeApplicationFolder(folders.application);
        if (undo.registered)
            registerUninstall(false);
    } catch (const std::exception& cleanup) {
        throw std::runtime_error(message + "\nCleanup needs attention: " + cleanup.what());
    }
    throw std::runtime_error(message + "\nSaved data and logs were retained. Correct the problem, then retry.");
}

} // namespace

void install(unsigned port, bool firewall, Progress progress)
{
    const Folders folders;
    const bool remains = preinstallChecks(port, progress);
    Undo undo;
    try {
        installSteps(folders, remains, port, firewall, progress, undo);
    } catch (const std::exception& problem) {
        rollBack(folders, port, undo, problem.what());
    }
}
