#pragma once

#include <filesystem>

#include "common/handles.h"

// An uninstall started from the application folder must not run from the folder it deletes.
// When this program runs from the application folder, relocate() copies it into a new uninstall
// session folder under the Windows folder's Temp, open only to SYSTEM and Administrators, and
// starts the copy with "--uninstall", options (each with a blank before it) and
// "--parent <this process id>": the caller hands over to it. Otherwise it creates nothing and
// the copy it returns is empty.
//
// A caller that waits for the copy keeps its own program file open, and Windows deletes no
// program that runs. With stepAside, that file is first moved (which Windows allows) into the
// session folder or, where that is on another volume, into the maker's folder above the
// application folder, and this process leaves the application folder as its current folder, so
// that the copy can remove the whole folder. Once the copy runs, the moved file is scheduled for
// deletion at the next restart; when the copy cannot be started, it is put back first.
struct Relocation {
    UniqueHandle copy;              // the copy's process
    std::filesystem::path folder;   // the session folder that holds it
    std::filesystem::path program;  // where this program's file was when it started
    std::filesystem::path setAside; // where it is now, when it was moved; else empty
};
Relocation relocate(const std::wstring& options = L"", bool stepAside = false);

// Moves a file that relocate() set aside back to where it was: the copy failed, and the
// application folder's uninstaller is needed again. Nothing happens when the move fails. The
// deletion scheduled for the place it was moved to then finds nothing there: each session's
// place has a name of its own.
void putBack(const Relocation& relocation);

// The Windows folder's Temp, which exists for every account, LocalSystem included.
std::filesystem::path systemTemporaryFolder();

// The name with which every uninstall session folder begins.
inline constexpr wchar_t SESSION_PREFIX[] = L"Quellmark-Uninstall-";

// Whether folder is a session folder as relocate() makes it: named so, directly in the Windows
// folder's Temp, no link, owned by Administrators and with the session's protected list and
// nothing else. The restart deletes a scheduled path as SYSTEM, through whatever it leads to by
// then; a folder that anyone but SYSTEM and Administrators could have touched is not scheduled.
bool isSessionFolder(const std::filesystem::path& folder);
