#pragma once

#include <windows.h>

#include <filesystem>

#include "common/handles.h"

// ProgramData lets every user create folders there, and they own what they create: such a
// folder keeps its owner's control whatever access list setup gives it, and could be swapped
// for a junction while setup writes into it or deletes it. So setup looks at its folders through
// handles that do not follow a link at the folder's own place and that keep the folder from
// being renamed, moved or deleted while they are held: the folder that passed a check is the
// folder that is used afterwards, and a path that became a link meanwhile is refused.

// Opens folder with the given access (READ_CONTROL at least) and sharing, never FILE_SHARE_DELETE,
// and holds it. Raises "Installation paths must not contain links or junctions" for a reparse
// point, the file-system error "Not a directory" for a file, and "Check folder owner (<code>)"
// when it cannot be opened.
UniqueHandle holdFolder(const std::filesystem::path& folder, DWORD access = READ_CONTROL,
                        DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE);

// Whether what held is open on (a file, a folder or a link itself) is owned by the local system,
// the Administrators group, TrustedInstaller or the account whose SID alsoTrusted gives. Raises
// "Check folder owner (<code>)" when the owner cannot be read.
bool trustedOwner(HANDLE held, const std::wstring& alsoTrusted = {});

// Raises, naming the folder, when the held folder is owned by anyone but the local system, the
// Administrators group, TrustedInstaller or the account whose SID alsoTrusted gives.
void refuseForeignOwner(HANDLE held, const std::filesystem::path& folder, const std::wstring& alsoTrusted = {});

// The same for a folder by its path; a missing folder passes.
void refuseForeignOwner(const std::filesystem::path& folder);

struct HeldFolder {
    UniqueHandle handle; // held as holdFolder holds it
    bool created;        // made by this call, so owned by Administrators from its first moment
};

// Creates folder owned by Administrators, with protection (a protected access list in security
// descriptor words) or else with the list it inherits, all in the creating call: there is no
// moment in which another account could take it over. When something stands there already, it
// must be a folder, no link, and owned by Administrators, the system or alsoTrusted; it is left as
// it is. Held as holdFolder holds it, with access and share.
HeldFolder secureFolder(const std::filesystem::path& folder, const wchar_t* protection, DWORD access = READ_CONTROL,
                        DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE, const std::wstring& alsoTrusted = {});
