#include "engine/folder_owner.h"

#include <aclapi.h>
#include <sddl.h>

#include <stdexcept>
#include <string>
#include <system_error>

#include "common/failure.h"
#include "common/text.h"
#include "package/guarded_files.h"
#include "package/long_paths.h"

namespace fs = std::filesystem;

namespace {

constexpr wchar_t TRUSTED_INSTALLER[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

bool sameSid(PSID owner, const wchar_t* words)
{
    PSID sid = nullptr;
    ConvertStringSidToSidW(words, &sid); // our own constants: they convert
    const LocalPtr<void> owned(sid);
    return sid != nullptr && EqualSid(owner, sid);
}

bool trusted(PSID owner, const std::wstring& alsoTrusted)
{
    return IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
           sameSid(owner, TRUSTED_INSTALLER) || (!alsoTrusted.empty() && sameSid(owner, alsoTrusted.c_str()));
}

} // namespace

UniqueHandle holdFolder(const fs::path& folder, DWORD access, DWORD share)
{
    // Without FILE_SHARE_DELETE nobody can rename, move or delete the folder while it is held.
    // Windows weighs a handle's sharing only when the handle reads, writes or deletes, so the
    // folder is also held for listing (FILE_LIST_DIRECTORY).
    OpenedItem held = openItself(folder, access | FILE_LIST_DIRECTORY, share);
    require(held.handle != nullptr, "Check folder owner");
    if (held.link())
        refuseLink();
    if (!held.folder())
        throw fs::filesystem_error("cannot create directories", folder,
                                   std::make_error_code(std::errc::not_a_directory));
    return std::move(held.handle);
}

bool trustedOwner(HANDLE held, const std::wstring& alsoTrusted)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    const DWORD code =
        GetSecurityInfo(held, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &raw);
    const LocalPtr<void> descriptor(raw);
    requireCode(code == ERROR_SUCCESS, code, "Check folder owner");
    // A volume without owners (FAT) lets anyone change anything.
    return owner != nullptr && trusted(owner, alsoTrusted);
}

void refuseForeignOwner(HANDLE held, const fs::path& folder, const std::wstring& alsoTrusted)
{
    if (!trustedOwner(held, alsoTrusted))
        throw std::runtime_error("The folder " + narrow(folder.wstring()) +
                                 " is owned by another account, not by Administrators or the system, so it cannot be "
                                 "trusted. Check who created it, then remove it or make "
                                 "Administrators its owner, and try again.");
}

void refuseForeignOwner(const fs::path& folder)
{
    if (present(folder))
        refuseForeignOwner(holdFolder(folder).get(), folder);
}

HeldFolder secureFolder(const fs::path& folder, const wchar_t* protection, DWORD access, DWORD share,
                        const std::wstring& alsoTrusted)
{
    // An elevated member of Administrators, and the local system, may name the group as owner.
    const std::wstring words = std::wstring(L"O:BA") + (protection != nullptr ? protection : L"");
    PSECURITY_DESCRIPTOR raw = nullptr;
    require(ConvertStringSecurityDescriptorToSecurityDescriptorW(words.c_str(), SDDL_REVISION_1, &raw, nullptr) !=
                FALSE,
            "Create data permissions");
    const LocalPtr<void> descriptor(raw);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
    const bool created = CreateDirectoryW(extendedPath(folder).c_str(), &attributes) != FALSE;
    const DWORD error = GetLastError();
    if (!created && error != ERROR_ALREADY_EXISTS)
        raiseFileSystemError("cannot create directory", folder, error);
    HeldFolder result{holdFolder(folder, access, share), created};
    if (!created)
        refuseForeignOwner(result.handle.get(), folder, alsoTrusted);
    return result;
}
