#pragma once

#include <windows.h>

#include <filesystem>
#include <functional>
#include <string>

// Windows refuses an ordinary path of MAX_PATH (260) characters or more, and a new folder's path
// of 248 or more, in every process that has not been given long paths by the machine's policy.
// A 240-character package name below the application folder passes both. The \\?\ form has no
// such limit, so every file call of the package code is made through it.

// The \\?\ form of p's full path: "\\?\C:\..." or "\\?\UNC\server\share\...". Windows takes this
// form as it stands, so it is built from the full path, with backslashes and without "." or "..".
// A path already in that form is returned as it is; one that has no full path is returned as
// given, for the call that follows to refuse.
std::wstring extendedPath(const std::filesystem::path& p);

// The full path in the ordinary form, for walking up its folders and for messages.
std::filesystem::path fullPath(const std::filesystem::path& p);

// The \\?\ form of a path that is already full, as fullPath returns it (no call to Windows).
std::wstring literalPath(const std::filesystem::path& full);

// Creates folder and every missing folder above it. Raises the standard library's file-system
// error naming the folder that could not be made.
void createFolders(const std::filesystem::path& folder);

// Calls visit for every entry of folder but "." and "..". Raises the standard library's
// file-system error naming the folder when it cannot be listed.
void listFolder(const std::filesystem::path& folder, const std::function<void(const WIN32_FIND_DATAW&)>& visit);

// The standard library's file-system error for a failed call, with its Windows error code.
[[noreturn]] void raiseFileSystemError(const char* operation, const std::filesystem::path& p, DWORD error);
