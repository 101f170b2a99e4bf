#include "engine/data_folder.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <string>

#include "common/failure.h"
#include "common/handles.h"
#include "engine/folder_owner.h"
#include "engine/markers.h"
#include "package/guarded_files.h"
#include "windows/service.h"

namespace fs = std::filesystem;

namespace {

// Full control for the system, Administrators and the console's service, inherited by everything
// below; nothing inherited from ProgramData, where every user may read. The service is named by
// its own identity, not by LocalService, which Windows shares among many services of its own.
std::wstring dataProtection()
{
    return L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + serviceSid() + L")";
}

// The maker's folder, when this installation is the first to need it: everybody may look inside,
// only the system and Administrators may create anything there. ProgramData's own list would
// let every user create folders in it, and own them.
constexpr wchar_t MAKER_PROTECTION[] = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

// A kept data folder gets the list again, through the handle that its checks were made on.
void protectDataFolder(HANDLE folder)
{
    PSECURITY_DESCRIPTOR raw = nullptr;
    require(ConvertStringSecurityDescriptorToSecurityDescriptorW(dataProtection().c_str(), SDDL_REVISION_1, &raw,
                                                                 nullptr) != FALSE,
            "Create data permissions");
    const LocalPtr<void> descriptor(raw);
    PACL list = nullptr;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    GetSecurityDescriptorDacl(descriptor.get(), &present, &list, &defaulted); // the string always holds a list
    // Protected: the folders above grant every user read access, which must not reach the data.
    const DWORD code = SetSecurityInfo(folder, SE_FILE_OBJECT,
                                       DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                       nullptr, list, nullptr);
    requireCode(code == ERROR_SUCCESS, code, "Protect Console data");
}

// Only a kept marker that already holds our bytes is left alone: the fewer writes, the fewer
// chances for anything to go wrong with the file that says the folder is ours.
void writeDataMarker(const fs::path& data)
{
    const fs::path marker = data / MARKER_FILE;
    if (present(marker) && holdsMarker(marker, DATA_MARKER))
        return;
    writeText(marker, DATA_MARKER);
}

} // namespace

void prepareDataFolder(const fs::path& data)
{
    const HeldFolder maker = secureFolder(data.parent_path(), MAKER_PROTECTION);
    const HeldFolder folder = secureFolder(data, dataProtection().c_str(), READ_CONTROL | WRITE_DAC);
    if (!folder.created)
        protectDataFolder(folder.handle.get());
    // The marker first, so that a run stopped here leaves a folder that the next run recognises.
    writeDataMarker(data);
    secureFolder(data / L"data", nullptr);
    secureFolder(data / L"logs", nullptr);
}
