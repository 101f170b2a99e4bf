#include "engine/preinstall_checks.h"

#include <winsock2.h>
#include <windows.h>
#include <shlobj.h>

#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "common/failure.h"
#include "common/folders.h"
#include "common/product.h"
#include "engine/folder_owner.h"
#include "engine/markers.h"
#include "package/guarded_files.h"
#include "windows/service.h"

namespace fs = std::filesystem;

namespace {

constexpr ULONGLONG REQUIRED_FREE_BYTES = 512ULL * 1024 * 1024;

// Anything standing at the path counts, also a file where a folder is expected, and also a
// path whose status cannot be read: better refuse than install over something unknown.
bool present(const fs::path& p)
{
    std::error_code error;
    return fs::status(p, error).type() != fs::file_type::not_found;
}

bool installedAppsEntryExists()
{
    HKEY key = nullptr;
    const LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, UNINSTALL_KEY, 0, KEY_READ | KEY_WOW64_64KEY, &key);
    if (key != nullptr)
        RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

[[noreturn]] void refuseAsInstalled()
{
    throw std::runtime_error("Console is already installed or a previous installation needs cleanup. Uninstall "
                             "Quellmark Console from Installed apps first, keeping its data. Agent is a separate "
                             "product.");
}

// Any trace of an earlier installation counts: an empty application folder left behind, the
// Installed-apps entry alone, or the service alone.
void refuseEarlierInstallation(const fs::path& application)
{
    const bool entry = installedAppsEntryExists();
    if (present(application))
        refuseAsInstalled();
    const bool service = existsService();
    if (entry || service)
        refuseAsInstalled();
}

// A kept data folder is reused only when it carries our marker byte for byte.
void refuseForeignDataFolder(const fs::path& data)
{
    if (!present(data))
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
    require(started == 0, "Initialize network");
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

void preinstallChecks(unsigned port, const Progress& progress)
{
    const fs::path application = appDir();
    const fs::path data = dataDir();
    const fs::path menu = shortcuts();
    progress(2, L"Checking this computer...");
    noReparse(application);
    noReparse(data);
    noReparse(menu);
    refuseEarlierInstallation(application);
    if (present(menu))
        throw std::runtime_error(
            "The Quellmark Console Start menu folder already exists. Remove its old shortcuts before installing.");
    refuseForeignOwner(data.parent_path());
    refuseForeignOwner(data);
    refuseForeignDataFolder(data);
    refuseBusyPort(port);
    refuseFullDisk();
}
