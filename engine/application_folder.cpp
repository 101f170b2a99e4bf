#include "engine/application_folder.h"

#include <stdexcept>
#include <system_error>

#include "engine/markers.h"
#include "package/files_in_use.h"
#include "package/guarded_files.h"

namespace fs = std::filesystem;

ApplicationFolder examineApplicationFolder(const fs::path& application)
{
    if (!present(application))
        return ApplicationFolder::absent;
    std::error_code error;
    if (!fs::is_directory(application, error))
        return ApplicationFolder::other;
    if (holdsNothing(application))
        return ApplicationFolder::empty;
    const fs::path marker = application / MARKER_FILE;
    try {
        return present(marker) && holdsMarker(marker, APP_MARKER) ? ApplicationFolder::marked
                                                                  : ApplicationFolder::other;
    } catch (const std::runtime_error&) {
        return ApplicationFolder::other; // a marker that cannot be read proves nothing
    }
}

void removeApplicationFolder(const fs::path& application)
{
    // The console's programs may outlive the service's stop by a moment; one that runs on is
    // named, rather than the first of its files that cannot go.
    waitForProgramsIn(application);
    // The uninstaller goes before the marker: without its marker the folder is no longer ours,
    // and an uninstaller left in it would only say so.
    removeTree(application, {SETTINGS_FILE, UNINSTALLER_FILE, MARKER_FILE});
    removeEmptyFolder(application.parent_path());
}
