#include "engine/uninstall.h"

#include <filesystem>
#include <stdexcept>
#include <string>

#include "common/folders.h"
#include "common/wizard_state.h"
#include "engine/application_folder.h"
#include "engine/folder_owner.h"
#include "engine/markers.h"
#include "engine/settings.h"
#include "engine/setup_log.h"
#include "package/guarded_files.h"
#include "windows/firewall.h"
#include "windows/installed_apps.h"
#include "windows/service.h"

namespace fs = std::filesystem;

namespace {

// Nothing is removed unless the application folder carries our marker byte for byte, so that a
// damaged or foreign folder at our path is never taken for an installation.
void recogniseInstallation(const fs::path& application)
{
    const fs::path marker = application / MARKER_FILE;
    if (!present(marker) || !holdsMarker(marker, APP_MARKER))
        throw std::runtime_error(NOTHING_TO_REMOVE);
}

// Only a data folder that says it is ours may be deleted; a missing marker fails as unreadable.
void recogniseDataFolder(const fs::path& data)
{
    if (!holdsMarker(data / MARKER_FILE, DATA_MARKER))
        throw std::runtime_error("Unrecognized data folder; refusing to delete it.");
}

// A rule that Windows Firewall cannot be asked to remove, its service not running, is no reason to
// stop halfway: it names a program that goes now, and the next installation removes every rule of
// its name. The final page says how to remove it; a kept data folder's setup log keeps why.
void removeRule(bool deleteData)
{
    const std::string why = removeFirewallRule();
    firewallRuleLeft = !why.empty();
    if (firewallRuleLeft && !deleteData)
        logSetupEvent("The firewall rule \"Quellmark Console HTTP\" was left in place: " + why); // the page says it too
}

} // namespace

void uninstall(bool deleteData, Progress progress)
{
    const fs::path application = appDir();
    const fs::path data = dataDir();
    noReparse(application);
    noReparse(data);
    noReparse(application / MARKER_FILE);
    recogniseInstallation(application);
    if (deleteData) {
        refuseForeignOwner(data.parent_path());
        refuseForeignOwner(data);
    }
    // A data folder whose state cannot be read counts as there: it is deleted only once recognised.
    if (deleteData && present(data))
        recogniseDataFolder(data);
    const Settings settings = readSettings(application);

    // Every refusal is behind us; from here on each step removes something.
    progress(10, L"Stopping Console safely...");
    restartToFinish = !stopDeleteService();
    if (settings.ruleAdded)
        removeRule(deleteData);
    progress(55, L"Removing application and shortcuts...");
    removeTree(shortcuts());
    // The entry goes last: until the folder is gone, it leads back to what is left of it.
    removeApplicationFolder(application);
    registerUninstall(false);

    if (deleteData) {
        progress(85, L"Removing saved data...");
        // The marker last: a removal stopped part-way leaves a folder that is still recognised.
        // The console's own account may change the folder while it goes.
        removeExposedTree(data, {MARKER_FILE});
        removeEmptyFolder(data.parent_path());
        progress(100, L"Console and its data have been removed.");
    } else {
        progress(100, L"Console removed. Your database and logs have been kept.");
    }
}
