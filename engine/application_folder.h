#pragma once

#include <filesystem>

// The application folder as the next installation or uninstallation finds it.
enum class ApplicationFolder {
    absent, // nothing at its path
    empty,  // a folder with nothing in it, or nothing but a half-written marker
    marked, // a folder whose marker is ours, byte for byte, whatever else it holds
    other,  // anything else: a folder without our marker, a file, or something that cannot be read
};

ApplicationFolder examineApplicationFolder(const std::filesystem::path& application);

// Waits a few seconds at most for the programs that run from the application folder to end, then
// removes it with everything in it, the settings, the uninstaller and the marker last and in that
// order, then the maker's folder above it if that is empty. A removal
// that stops part-way leaves the marker, the uninstaller and so the way back in through
// Installed apps; a missing folder is no error.
void removeApplicationFolder(const std::filesystem::path& application);
