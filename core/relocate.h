#pragma once

#include <filesystem>

// An uninstall started from the application folder must not run from the folder it deletes.
// When this program runs from the application folder, relocate() copies it into a new uninstall
// session folder under the Windows folder's Temp, open only to SYSTEM and Administrators,
// starts the copy with "--uninstall --parent <this process id>" and returns true: the caller
// ends at once with exit code 0. Otherwise it creates nothing and returns false.
bool relocate();

// The name with which every uninstall session folder begins.
inline constexpr wchar_t SESSION_PREFIX[] = L"Quellmark-Uninstall-";

// Whether folder is a session folder as relocate() makes it: named so, directly in the Windows
// folder's Temp, no link, owned by Administrators and with the session's protected list and
// nothing else. The restart deletes a scheduled path as SYSTEM, through whatever it leads to by
// then; a folder that anyone but SYSTEM and Administrators could have touched is not scheduled.
bool isSessionFolder(const std::filesystem::path& folder);
