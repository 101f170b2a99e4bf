#include "engine/data_folder.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <optional>
#include <string>
#include <vector>

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

using Entries = std::vector<std::vector<BYTE>>;

BYTE& flagsOf(std::vector<BYTE>& entry)
{
    return reinterpret_cast<ACE_HEADER*>(entry.data())->AceFlags;
}

// The entries of list, each as its own bytes; with inherited false, only those set on the item
// itself.
Entries entriesOf(PACL list, bool inherited = true)
{
    Entries entries;
    for (DWORD index = 0; list != nullptr && index < list->AceCount; ++index) {
        void* entry = nullptr;
        require(GetAce(list, index, &entry) != FALSE, "Protect Console data");
        const auto* bytes = static_cast<const BYTE*>(entry);
        if (inherited || (static_cast<const ACE_HEADER*>(entry)->AceFlags & INHERITED_ACE) == 0)
            entries.emplace_back(bytes, bytes + static_cast<const ACE_HEADER*>(entry)->AceSize);
    }
    return entries;
}

// What an item receives of the entries its folder hands down: a folder those for folders, and
// those for files as inherit-only, to hand them on; a file those for files. An entry that does
// not propagate stops at this item.
void inherit(const Entries& handedDown, bool folder, Entries& list)
{
    for (std::vector<BYTE> entry : handedDown) {
        const BYTE flags = flagsOf(entry);
        BYTE kept = 0;
        if (folder && (flags & CONTAINER_INHERIT_ACE) != 0)
            kept = flags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        else if (folder && (flags & OBJECT_INHERIT_ACE) != 0)
            kept = OBJECT_INHERIT_ACE | INHERIT_ONLY_ACE;
        else if (folder || (flags & OBJECT_INHERIT_ACE) == 0)
            continue;
        if ((flags & NO_PROPAGATE_INHERIT_ACE) != 0 && (kept & INHERIT_ONLY_ACE) != 0)
            continue;
        flagsOf(entry) = ((flags & NO_PROPAGATE_INHERIT_ACE) != 0 ? 0 : kept) | INHERITED_ACE;
        list.push_back(std::move(entry));
    }
}

// Sets the item's list to these entries, through its handle and nothing else:
// SetKernelObjectSecurity changes this one object, as SetFileSecurity does, whose page says that
// a folder's children do not inherit what it sets.
void setList(HANDLE item, const Entries& entries, SECURITY_DESCRIPTOR_CONTROL control, SECURITY_INFORMATION which)
{
    DWORD size = sizeof(ACL);
    for (const std::vector<BYTE>& entry : entries)
        size += static_cast<DWORD>(entry.size());
    std::vector<DWORD> list((size + sizeof(DWORD) - 1) / sizeof(DWORD)); // an ACL starts DWORD-aligned
    const auto acl = reinterpret_cast<PACL>(list.data());
    require(InitializeAcl(acl, size, ACL_REVISION_DS) != FALSE, "Protect Console data");
    for (const std::vector<BYTE>& entry : entries)
        require(AddAce(acl, ACL_REVISION_DS, MAXDWORD, const_cast<BYTE*>(entry.data()),
                       static_cast<DWORD>(entry.size())) != FALSE,
                "Protect Console data");
    SECURITY_DESCRIPTOR descriptor{};
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE);
    SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED | SE_DACL_AUTO_INHERITED, control);
    require(SetKernelObjectSecurity(item, DACL_SECURITY_INFORMATION | which, &descriptor) != FALSE,
            "Protect Console data");
}

// The entries set on the item itself, not inherited; nothing when its list is protected, which
// Windows' own propagation leaves as it is, with all below it.
std::optional<Entries> ownEntries(HANDLE item)
{
    PACL current = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    const DWORD code =
        GetSecurityInfo(item, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &current, nullptr, &raw);
    const LocalPtr<void> descriptor(raw);
    requireCode(code == ERROR_SUCCESS, code, "Protect Console data");
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(raw, &control, &revision); // a descriptor that Windows made: it answers
    if ((control & SE_DACL_PROTECTED) != 0)
        return std::nullopt;
    return entriesOf(current, false);
}

void passDown(HANDLE folder, const fs::path& path, const Entries& handedDown);

// One item of a kept data folder gets its own entries and what its folder hands down, as
// Windows' own propagation would give it. Left as it is: a link, whatever it leads to (a console
// may keep its database on another volume); a file with another name as well, which is not the
// data folder's alone to open up; and an item whose list is protected.
void reach(HANDLE folder, const fs::path& path, const WIN32_FIND_DATAW& found, const Entries& handedDown)
{
    const bool listedFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // A folder is held while what is inside it is reached, so that it cannot be renamed meanwhile.
    const OpenedItem item =
        openItself(path / found.cFileName, READ_CONTROL | WRITE_DAC | (listedFolder ? FILE_LIST_DIRECTORY : 0),
                   FILE_SHARE_READ | FILE_SHARE_WRITE | (listedFolder ? 0 : FILE_SHARE_DELETE));
    if (!item.handle) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return; // gone meanwhile: nothing left to reach
        requireCode(false, error, "Protect Console data");
    }
    if (item.link() || (!item.folder() && item.information.nNumberOfLinks > 1))
        return;
    if (item.folder() != listedFolder || !isEntryOf(folder, item.handle.get(), found.cFileName))
        refuseLink();
    std::optional<Entries> entries = ownEntries(item.handle.get());
    if (!entries)
        return;
    inherit(handedDown, item.folder(), *entries);
    setList(item.handle.get(), *entries, SE_DACL_AUTO_INHERITED, UNPROTECTED_DACL_SECURITY_INFORMATION);
    if (!item.folder())
        return;
    std::erase_if(*entries, [](std::vector<BYTE>& entry) {
        return (flagsOf(entry) & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) == 0;
    });
    passDown(item.handle.get(), path / found.cFileName, *entries);
}

void passDown(HANDLE folder, const fs::path& path, const Entries& handedDown)
{
    std::vector<WIN32_FIND_DATAW> items;
    listFolder(path, [&](const WIN32_FIND_DATAW& found) { items.push_back(found); });
    for (const WIN32_FIND_DATAW& found : items)
        reach(folder, path, found, handedDown);
}

// A kept data folder gets the list again, through the handle that its checks were made on, and
// the list then reaches what is inside it. Not by SetSecurityInfo, whose propagation opens
// everything below by its name: Windows does not say that it stops at links, and an access list
// belongs to a file, not to one of its names, so a hard link that the console's account put here
// to a system file would give that file the console's full control. The walk goes through
// handles instead, and every item is proved to be the entry of the folder held above it.
void protectDataFolder(HANDLE folder, const fs::path& data)
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
    require(SetKernelObjectSecurity(folder, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                                    descriptor.get()) != FALSE,
            "Protect Console data");
    passDown(folder, data, entriesOf(list));
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
    // Nothing is renamed into the maker's folder, so it is held without write sharing too: no
    // program can open it for writing and make a mount point of it meanwhile.
    const HeldFolder maker = secureFolder(data.parent_path(), MAKER_PROTECTION, READ_CONTROL, FILE_SHARE_READ);
    // The marker is moved into the data folder, which takes write sharing.
    const HeldFolder folder = secureFolder(data, dataProtection().c_str(), READ_CONTROL | WRITE_DAC);
    if (!folder.created)
        protectDataFolder(folder.handle.get(), data);
    // The marker first, so that a run stopped here leaves a folder that the next run recognises.
    writeDataMarker(data);
    // The console's own account may have made these again (it has full control of the folder),
    // and may be their owner. Each must be the data folder's own entry: that folder, emptied by
    // that account, could have become a junction.
    const std::wstring console = serviceSid();
    for (const wchar_t* name : {L"data", L"logs"}) {
        const HeldFolder held =
            secureFolder(data / name, nullptr, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE, console);
        if (!isEntryOf(folder.handle.get(), held.handle.get(), name))
            refuseLink();
    }
}
