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

bool trusted(PSID owner)
{
    if (IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid))
        return true;
    PSID installer = nullptr;
    ConvertStringSidToSidW(TRUSTED_INSTALLER, &installer); // a constant: it always converts
    const LocalPtr<void> owned(installer);
    return installer != nullptr && EqualSid(owner, installer);
}

} // namespace

UniqueHandle holdFolder(const fs::path& folder, DWORD access)
{
    // Without FILE_SHARE_DELETE nobody can rename, move or delete the folder while it is held;
    // FILE_FLAG_OPEN_REPARSE_POINT opens a link itself instead of where it leads.
    UniqueHandle held(CreateFileW(extendedPath(folder).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    require(held.get() != INVALID_HANDLE_VALUE, "Check folder owner");
    BY_HANDLE_FILE_INFORMATION information{};
    require(GetFileInformationByHandle(held.get(), &information) != FALSE, "Check folder owner");
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        throw std::runtime_error("Installation paths must not contain links or junctions");
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        throw fs::filesystem_error("cannot create directories", folder,
                                   std::make_error_code(std::errc::not_a_directory));
    return held;
}

bool trustedOwner(HANDLE held)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    const DWORD code =
        GetSecurityInfo(held, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr, &raw);
    const LocalPtr<void> descriptor(raw);
    requireCode(code == ERROR_SUCCESS, code, "Check folder owner");
    return owner != nullptr && trusted(owner); // a volume without owners (FAT) lets anyone change anything
}

void refuseForeignOwner(HANDLE held, const fs::path& folder)
{
    if (!trustedOwner(held))
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

HeldFolder secureFolder(const fs::path& folder, const wchar_t* protection, DWORD access)
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
    HeldFolder result{holdFolder(folder, access), created};
    if (!created)
        refuseForeignOwner(result.handle.get(), folder);
    return result;
}
