#include "engine/folder_owner.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <stdexcept>

#include "common/failure.h"
#include "common/handles.h"
#include "common/text.h"
#include "package/guarded_files.h"

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

void refuseForeignOwner(const fs::path& folder)
{
    if (!present(folder))
        return;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    const DWORD code = GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                             nullptr, nullptr, nullptr, &raw);
    const LocalPtr<void> descriptor(raw);
    requireCode(code == ERROR_SUCCESS, code, "Check folder owner");
    if (!trusted(owner))
        throw std::runtime_error("The folder " + narrow(folder.wstring()) +
                                 " is owned by another account, not by Administrators or the system, so it cannot be "
                                 "trusted. Check who created it, then remove it or make "
                                 "Administrators its owner, and try again.");
}

void ownByAdministrators(const fs::path& folder)
{
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    require(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size) != FALSE,
            "Set folder owner");
    // An elevated member of Administrators may name the group as owner without any privilege.
    const DWORD code = SetNamedSecurityInfoW(const_cast<wchar_t*>(folder.c_str()), SE_FILE_OBJECT,
                                             OWNER_SECURITY_INFORMATION, administrators, nullptr, nullptr, nullptr);
    requireCode(code == ERROR_SUCCESS, code, "Set folder owner");
}
