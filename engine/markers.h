#pragma once

#include <cwchar>
#include <filesystem>
#include <stdexcept>
#include <string_view>

#include "package/guarded_files.h"
#include "package/long_paths.h"

// The marker files by which a later install or uninstall recognises our folders. A folder
// without its marker, byte for byte, is never reused or deleted.
inline constexpr char APP_MARKER[] = "QuellmarkConsoleApp/1\n";
inline constexpr char DATA_MARKER[] = "QuellmarkConsoleData/1\n";
inline constexpr wchar_t MARKER_FILE[] = L"product.txt";
inline constexpr wchar_t SETTINGS_FILE[] = L"console.ini";
inline constexpr wchar_t UNINSTALLER_FILE[] = L"Uninstall.exe";

// Whether the file holds exactly the marker. One byte more than the marker is read: a longer
// file is not ours, however long it is. Raises "Cannot read <path>" when it cannot be opened.
inline bool holdsMarker(const std::filesystem::path& file, std::string_view marker)
{
    return readText(file, marker.size() + 1) == marker;
}

// Whether folder holds nothing, or nothing but the partial marker that a run stopped while it
// wrote the folder's first file leaves behind (see writeText): nothing of anybody's is in it
// either way. A folder that cannot be listed holds something as far as anyone can tell.
inline bool holdsNothing(const std::filesystem::path& folder)
{
    const std::wstring partialMarker = std::wstring(MARKER_FILE) + PARTIAL_SUFFIX;
    bool nothing = true;
    try {
        listFolder(folder, [&](const WIN32_FIND_DATAW& found) {
            nothing = nothing && _wcsicmp(found.cFileName, partialMarker.c_str()) == 0;
        });
    } catch (const std::exception&) {
        return false;
    }
    return nothing;
}
