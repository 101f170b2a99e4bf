#include "engine/preinstall_checks.h"

#include <winsock2.h>
#include <windows.h>
#include <shlobj.h>

#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "common/failure.h"
#include "common/folders.h"
#include "common/handles.h"
#include "common/product.h"
#include "engine/application_folder.h"
#include "engine/folder_owner.h"
#include "engine/markers.h"
#include "package/guarded_files.h"
#include "windows/installed_apps.h"
#include "windows/service.h"

namespace fs = std::filesystem;

namespace {

constexpr ULONGLONG REQUIRED_FREE_BYTES = 512ULL * 1024 * 1024;

[[noreturn]] void refuseAsInstalled()
{
    throw std::runtime_error("Console is already installed or a previous installation needs cleanup. Uninstall "
                             "Quellmark Console from Installed apps first, keeping its data. Agent is a separate "
                             "product.");
}

// The Installed-apps entry as Installed apps sees it. Ours only when its command is exactly this
// product's at this folder: another version's or another drive's entry is not ours to delete.
// Ours, it is unusable when Installed apps could not act on it: without a command (an
// installation stopped while writing the entry) or naming an uninstaller that is gone (an
// uninstallation stopped between deleting it and deleting the marker). A key or value that
// cannot be read is never proof of anything, and refuses with its error.
enum class Listing { absent, unusable, usable };

Listing installedAppsEntry(const fs::path& application)
{
    const InstalledAppsEntry entry = readInstalledAppsEntry();
    if (!entry.exists)
        return Listing::absent;
    if (!entry.command)
        return Listing::unusable;
    if (*entry.command != uninstallCommand())
        refuseAsInstalled();
    return present(application / UNINSTALLER_FILE) ? Listing::usable : Listing::unusable;
}

// A service that an uninstallation has deleted while the Services console, or another program
// that shows services, held it open stays until that program lets go of it, and nothing can be
// installed in its place until then. Uninstalling again cannot help; closing it, or a restart, does.
bool serviceRegistered()
{
    const ServiceRegistration registration = serviceRegistration();
    if (registration == ServiceRegistration::markedForDeletion)
        throw std::runtime_error(SERVICE_STILL_BEING_REMOVED);
    return registration == ServiceRegistration::registered;
}

// Any trace of an earlier installation refuses, except what a run of ours leaves when it is
// stopped between two steps (killed, or the computer lost power), which would otherwise lock the
// administrator out: Installed apps offers no uninstaller for it, and the install refuses it.
// Such remains are cleared by the installation, but only when they are plainly ours and plainly
// not a working installation; with no service registered, nothing of them runs:
// - a folder with our marker and no usable entry: an installation stopped before or while it
//   copied the uninstaller or wrote the entry, or an uninstallation or rollback stopped between
//   deleting the uninstaller and deleting the marker. The marker is written first into the new
//   folder and deleted last, so everything in it is ours, and the user's data never lives there;
// - an empty folder, or none, and an entry: an uninstallation stopped between removing the
//   folder and removing the entry, which now names an uninstaller that is gone;
// - an empty folder and no entry: an installation stopped between creating the folder and
//   writing its marker (or while writing it). An empty folder holds nothing to lose.
// An entry with a marked folder is a real or partly removed installation, which its own
// uninstaller finishes; a folder that is not empty and lacks our marker is not ours; a service
// may be running the console. All of them still refuse, and the service is asked only when the
// rest could be remains. Returns whether there are remains to clear.
bool refuseEarlierInstallation(const fs::path& application)
{
    const Listing entry = installedAppsEntry(application);
    const ApplicationFolder folder = examineApplicationFolder(application);
    if (folder == ApplicationFolder::absent && entry == Listing::absent) {
        if (serviceRegistered())
            refuseAsInstalled();
        return false;
    }
    if (folder == ApplicationFolder::other || (folder == ApplicationFolder::marked && entry == Listing::usable))
        refuseAsInstalled();
    if (serviceRegistered())
        refuseAsInstalled();
    return true;
}

// A kept data folder is reused only when it carries our marker byte for byte, or when it holds
// nothing (but perhaps the marker half-written): an installation stopped between creating it and
// writing the marker leaves it so, and an empty folder holds nothing to overwrite.
void refuseForeignDataFolder(const fs::path& data)
{
    if (!present(data) || holdsNothing(data))
        return;
    const fs::path marker = data / MARKER_FILE;
    noReparse(marker);
    if (!present(marker) || !holdsMarker(marker, DATA_MARKER))
        throw std::runtime_error("The data folder is not recognized as Quellmark Console. It will not be overwritten.");
}

void refuseBusyPort(unsigned port)
{
    WSADATA winsock{};
    const int started = WSAStartup(MAKEWORD(2, 2), &winsock);
    // Windows Sockets returns its error instead of setting the thread's last error.
    requireCode(started == 0, static_cast<unsigned long>(started), "Initialize network");
    const SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    // Exclusive use, so that a listener that allows address sharing still counts as taken.
    const int exclusive = 1;
    setsockopt(probe, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    const int bound = bind(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    closesocket(probe);
    WSACleanup();
    if (bound != 0)
        throw std::runtime_error("The selected port is already in use. Choose a different port.");
}

void refuseFullDisk()
{
    ULARGE_INTEGER available{};
    require(GetDiskFreeSpaceExW(known(FOLDERID_ProgramFiles).c_str(), &available, nullptr, nullptr) != FALSE,
            "Check disk space");
    if (available.QuadPart < REQUIRED_FREE_BYTES)
        throw std::runtime_error("At least 512 MB free disk space is required.");
}

} // namespace

bool preinstallChecks(unsigned port, const Progress& progress)
{
    const fs::path application = appDir();
    const fs::path data = dataDir();
    const fs::path menu = shortcuts();
    progress(2, L"Checking this computer...");
    noReparse(application);
    noReparse(data);
    noReparse(menu);
    const bool remains = refuseEarlierInstallation(application);
    if (present(menu))
        throw std::runtime_error(
            "The Quellmark Console Start menu folder already exists. Remove its old shortcuts before installing.");
    refuseForeignOwner(data.parent_path());
    refuseForeignOwner(data);
    refuseForeignDataFolder(data);
    refuseBusyPort(port);
    refuseFullDisk();
    return remains;
}
