#pragma once

#include "common/version.h"

// Names that Windows, the user and the installed console see. Changing one of them orphans
// every existing installation, so they live in one place.
inline constexpr wchar_t PRODUCT[] = L"Quellmark Console";
inline constexpr wchar_t MAKER[] = L"Vostrel";
inline constexpr wchar_t VERSION_TEXT[] = QM_VERSION_WIDE;
inline constexpr wchar_t SERVICE_NAME[] = L"QuellmarkConsole";
inline constexpr wchar_t UNINSTALL_KEY[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\QuellmarkConsole";
inline constexpr wchar_t FIREWALL_NAME[] = L"Quellmark Console HTTP";

// The online manual: stored in the Installed-apps entry and in the Start-menu shortcut.
inline constexpr wchar_t MANUAL_URL[] = L"https://www.vostrel.com/manual/console/#windows-server";
