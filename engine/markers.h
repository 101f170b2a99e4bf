#pragma once

#include <filesystem>
#include <string_view>

#include "package/guarded_files.h"

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
