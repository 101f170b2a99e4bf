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
#include "windows/service.h"

namespace fs = std::filesystem;

namespace {

constexpr ULONGLONG REQUIRED_FREE_BYTES = 512ULL * 1024 * 1024;

// The Installed-apps entry as Installed apps sees it. One without the command that Installed apps
// runs is what an installation stopped while writing it leaves, and nobody can act on it there.
// A key that cannot be read is taken for a whole entry: it is never proof that nothing is there.
enum class Listing { absent, unusable, usable };

Listing installedAppsEntry()
{
    HKEY key = nullptr;
    const LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, UNINSTALL_KEY, 0, KEY_READ | KEY_WOW64_64KEY, &key);
    const UniqueRegistryKey owned(key);
    if (status == ERROR_FILE_NOT_FOUND)
        return Listing::absent;
    if (status != ERROR_SUCCESS)
        return Listing::usable;
    const LSTATUS command = RegQueryValueExW(key, L"UninstallString", nullptr, nullptr, nullptr, nullptr);
    return command == ERROR_FILE_NOT_FOUND ? Listing::unusable : Listing::usable;
}

[[noreturn]] void refuseAsInstalled()
{
    throw std::runtime_error("Console is already installed or a previous installation needs cleanup. Uninstall "
                             "Quellmark Console from Installed apps first, keeping its data. Agent is a separate "
                             "product.");
}

// A service that an uninstallation has deleted while the Services console, or another program
// that shows services, held it open stays until that program lets go of it, and nothing can be
// installed in its place until then. Uninstalling again cannot help; closing it, or a restart, does.
bool serviceRegistered()
{
    const ServiceRegistration registration = serviceRegistration();
    if (registration == ServiceRegistration::markedForDeletion)
        throw std::runtime_error("The Quellmark Console service of an earlier installation is still being removed. "
                                 "Close the Services console and any other program that shows Windows services, "
                                 "or restart Windows, then try again.");
    return registration == ServiceRegistration::registered;
}

// Any trace of an earlier installation refuses, except what a run of ours leaves when it is
// stopped between two steps (killed, or the computer lost power), which would otherwise lock the
// administrator out: Installed apps offers no uninstaller for it, and the install refuses it.
// Such remains are cleared by the installation, but only when they are plainly ours and plainly
// not a working installation; with no service registered, nothing of them runs:
// - a folder with our marker and no usable entry: an installation stopped before or while it
//   copied the uninstaller or wrote the entry. The marker is written first into the new folder,
//   so everything in it is ours, and the user's data never lives there;
// - an empty folder, or none, and an entry: an uninstallation stopped between removing the
//   folder and removing the entry, which now names an uninstaller that is gone;
// - an empty folder and no entry: an installation stopped between creating the folder and
//   writing its marker. An empty folder holds nothing to lose.
// An entry with a marked folder is a real or partly removed installation, which its own
// uninstaller finishes; a folder that is not empty and lacks our marker is not ours; a service
// may be running the console. All of them still refuse, and the service is asked only when the
// rest could be remains. Returns whether there are remains to clear.
bool refuseEarlierInstallation(const fs::path& application)
{
    const Listing entry = installedAppsEntry();
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

bool emptyFolder(const fs::path& p)
{
    std::error_code error;
    return fs::is_directory(p, error) && fs::is_empty(p, error) && !error;
}

// A kept data folder is reused only when it carries our marker byte for byte, or when it is
// completely empty: an installation stopped between creating it and writing the marker leaves
// it so, and an empty folder holds nothing to overwrite.
void refuseForeignDataFolder(const fs::path& data)
{
    if (!present(data) || emptyFolder(data))
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
