#include "package/guarded_files.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <iterator>
#include <optional>
#include <utility>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "common/failure.h"
#include "common/handles.h"
#include "common/text.h"
#include "package/files_in_use.h"
#include "package/long_paths.h"

namespace fs = std::filesystem;

namespace {

// Only a path that is not there yet may pass unexamined. Any other reason not to read its
// attributes (no access, a bad name, a drive that is not ready) leaves a link unproven absent.
void examine(const fs::path& full)
{
    const DWORD attributes = GetFileAttributesW(literalPath(full).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        requireCode(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND, error, "Check installation path");
        return;
    }
    // Any reparse point counts, not only symbolic links: junctions and mount points redirect too.
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        refuseLink();
}

// The server part of a share path names no folder whose attributes could be read.
bool isServerRoot(const fs::path& p)
{
    return p == p.root_path() && p.root_name().native().starts_with(L"\\\\");
}

struct TreeItem {
    fs::path path;
    bool folder = false;
};

// Everything below folder, each folder after its content. A link ends the walk before it is
// entered, and before anything has been deleted.
void collectTree(const fs::path& folder, std::vector<TreeItem>& items)
{
    listFolder(folder, [&](const WIN32_FIND_DATAW& found) {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            refuseLink();
        const bool isFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const fs::path item = folder / found.cFileName;
        if (isFolder)
            collectTree(item, items);
        items.push_back({item, isFolder});
    });
}

// Moves the named entries of folder itself to the end of items, in the order of names.
void putLast(const fs::path& folder, std::initializer_list<const wchar_t*> names, std::vector<TreeItem>& items)
{
    for (const wchar_t* name : names) {
        const auto found = std::find_if(items.begin(), items.end(), [&](const TreeItem& item) {
            return item.path.parent_path() == folder && _wcsicmp(item.path.filename().c_str(), name) == 0;
        });
        if (found == items.end())
            continue;
        const TreeItem item = *found;
        items.erase(found);
        items.push_back(item);
    }
}

[[noreturn]] void failRemoval(const fs::path& folder, const fs::path& item, DWORD error)
{
    refuseIfInUse(item, error);
    throw fs::filesystem_error("cannot remove all", folder, item,
                               std::error_code(static_cast<int>(error), std::system_category()));
}

void removeItem(const fs::path& folder, const TreeItem& item)
{
    const std::wstring literal = extendedPath(item.path);
    const BOOL removed = item.folder ? RemoveDirectoryW(literal.c_str()) : DeleteFileW(literal.c_str());
    if (!removed)
        failRemoval(folder, item.path, GetLastError());
}

// Everything that a removal of folder deletes, in its order, after proving that no link stands
// anywhere on the way; nothing when folder is missing.
std::optional<std::vector<TreeItem>> examineTree(const fs::path& folder, std::initializer_list<const wchar_t*> last)
{
    noReparse(folder);
    const DWORD attributes = GetFileAttributesW(extendedPath(folder).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return std::nullopt; // noReparse has just found it missing
    // Everything is examined before the first deletion, so that a link deep inside stops the
    // removal with nothing deleted; and only what was examined is deleted, so that nothing put
    // there in the meantime is followed.
    const bool isFolder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    std::vector<TreeItem> items;
    if (isFolder)
        collectTree(folder, items);
    putLast(folder, last, items);
    items.push_back({folder, isFolder});
    return items;
}

bool isBelow(const fs::path& p, const fs::path& folder)
{
    const auto [inFolder, inPath] = std::mismatch(folder.begin(), folder.end(), p.begin(), p.end());
    return inFolder == folder.end() && inPath != p.end();
}

struct HeldStep {
    fs::path path;
    UniqueHandle handle;
};

// Opens item for its deletion, as itself, inside the folder held above it (none for the tree's
// own folder, whose path only Administrators' folders lead to). Without FILE_SHARE_DELETE nobody
// can rename or delete it meanwhile; a folder is also listed through the handle, for Windows
// weighs a handle's sharing only when it reads, writes or deletes.
UniqueHandle openForRemoval(const fs::path& tree, const HeldStep* above, const TreeItem& item)
{
    OpenedItem opened =
        openItself(item.path, DELETE | (item.folder ? FILE_LIST_DIRECTORY : 0), FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (!opened.handle)
        failRemoval(tree, item.path, GetLastError());
    if (opened.link() || opened.folder() != item.folder ||
        (above != nullptr && !isEntryOf(above->handle.get(), opened.handle.get(), item.path.filename().wstring())))
        refuseLink();
    return std::move(opened.handle);
}

void deleteThrough(const fs::path& tree, const fs::path& item, HANDLE handle)
{
    FILE_DISPOSITION_INFO disposition{TRUE};
    if (!SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition))
        failRemoval(tree, item, GetLastError());
}

// Where the handle's file lies: its volume, and its path from the volume's root as it was
// reached, after any link or junction on the way.
std::pair<DWORD, std::wstring> placeOf(HANDLE handle)
{
    BY_HANDLE_FILE_INFORMATION information{};
    require(GetFileInformationByHandle(handle, &information) != FALSE, "Check installation path");
    // Room for the longest path there is. The name, not the final path (which would name the
    // volume as well): not every implementation of the final path goes past MAX_PATH.
    std::vector<DWORD> name((sizeof(FILE_NAME_INFO) + 32768 * sizeof(wchar_t)) / sizeof(DWORD));
    const auto* info = reinterpret_cast<const FILE_NAME_INFO*>(name.data());
    const auto size = static_cast<DWORD>(name.size() * sizeof(DWORD));
    require(GetFileInformationByHandleEx(handle, FileNameInfo, name.data(), size) != FALSE, "Check installation path");
    return {information.dwVolumeSerialNumber, std::wstring(info->FileName, info->FileNameLength / sizeof(wchar_t))};
}

// A new file for the bytes (CREATE_NEW), never whatever stands at its name: a ".partial" that a
// stopped run left, or a hard link to another file planted there, which CREATE_ALWAYS would
// empty and fill, is deleted first (a deletion takes away that name only). Held without sharing
// until it has taken its place, so that nobody can rename or delete it meanwhile, nor empty its
// folder to turn that into a junction.
UniqueHandle createPartial(const fs::path& partial)
{
    const std::wstring literal = extendedPath(partial);
    const auto create = [&] {
        return CreateFileW(literal.c_str(), GENERIC_WRITE | DELETE | FILE_READ_ATTRIBUTES, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    };
    HANDLE file = create();
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS && DeleteFileW(literal.c_str()))
        file = create();
    return UniqueHandle(file != INVALID_HANDLE_VALUE ? file : nullptr);
}

// Writes all of text, flushed to the disk, then puts the file in target's place, through its
// handle: the file moved is the one written, wherever a path may lead by then. Returns the
// Windows error of the step that failed, or ERROR_SUCCESS.
DWORD writeAndReplace(HANDLE file, const std::string& text, const std::wstring& target)
{
    DWORD written = 0;
    if (!WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr))
        return GetLastError();
    if (written != text.size())
        return ERROR_WRITE_FAULT;
    if (!FlushFileBuffers(file))
        return GetLastError();
    std::vector<BYTE> block(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(block.data());
    rename->ReplaceIfExists = TRUE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
    std::memcpy(rename->FileName, target.c_str(), (target.size() + 1) * sizeof(wchar_t));
    if (!SetFileInformationByHandle(file, FileRenameInfo, rename, static_cast<DWORD>(block.size())))
        return GetLastError();
    return ERROR_SUCCESS;
}

} // namespace

void discardOnClose(HANDLE item)
{
    FILE_DISPOSITION_INFO disposition{TRUE};
    // Ignored: what is left of it is no use to anyone, and the caller's own failure is what counts.
    SetFileInformationByHandle(item, FileDispositionInfo, &disposition, sizeof disposition);
}

void refuseLink()
{
    throw std::runtime_error("Installation paths must not contain links or junctions");
}

OpenedItem openItself(const fs::path& p, DWORD access, DWORD share, DWORD disposition)
{
    OpenedItem item;
    // Backup semantics open a folder at all; FILE_FLAG_OPEN_REPARSE_POINT opens a link itself
    // instead of where it leads.
    const HANDLE opened = CreateFileW(extendedPath(p).c_str(), access | FILE_READ_ATTRIBUTES, share, nullptr,
                                      disposition, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (opened == INVALID_HANDLE_VALUE)
        return item;
    item.created = disposition == CREATE_NEW || (disposition == OPEN_ALWAYS && GetLastError() != ERROR_ALREADY_EXISTS);
    item.handle.reset(opened);
    if (!GetFileInformationByHandle(opened, &item.information)) {
        const DWORD error = GetLastError();
        item.handle.reset();
        SetLastError(error);
    }
    return item;
}

bool isEntryOf(HANDLE folder, HANDLE item, const std::wstring& name)
{
    auto [volume, expected] = placeOf(folder);
    if (!expected.ends_with(L'\\'))
        expected += L'\\';
    expected += name;
    const auto [itemVolume, found] = placeOf(item);
    return itemVolume == volume && CompareStringOrdinal(found.c_str(), static_cast<int>(found.size()), expected.c_str(),
                                                        static_cast<int>(expected.size()), TRUE) == CSTR_EQUAL;
}

void noReparse(const fs::path& p)
{
    if (p.empty())
        return;
    for (fs::path current = fullPath(p); !isServerRoot(current);) {
        examine(current);
        fs::path parent = current.parent_path();
        if (parent == current || parent.empty())
            break; // the drive's root has been examined
        current = std::move(parent);
    }
}

void removeTree(const fs::path& folder, std::initializer_list<const wchar_t*> last)
{
    if (const auto items = examineTree(folder, last))
        for (const TreeItem& item : *items)
            removeItem(folder, item);
}

void removeExposedTree(const fs::path& folder, std::initializer_list<const wchar_t*> last)
{
    const auto items = examineTree(folder, last);
    if (!items)
        return;
    // The folders from the tree's own down to the one that holds the item in hand, each held as
    // long as something inside it is still to go. The order of the items is kept: a folder goes
    // right after its content, through the handle that held it meanwhile.
    std::vector<HeldStep> chain;
    for (const TreeItem& item : *items) {
        while (!chain.empty() && item.path != chain.back().path && !isBelow(item.path, chain.back().path))
            chain.pop_back();
        if (!chain.empty() && item.path == chain.back().path) {
            deleteThrough(folder, item.path, chain.back().handle.get());
            chain.pop_back();
            continue;
        }
        while (chain.empty() ? item.path != folder : item.path.parent_path() != chain.back().path) {
            const fs::path next =
                chain.empty() ? folder : chain.back().path / *item.path.lexically_relative(chain.back().path).begin();
            UniqueHandle held = openForRemoval(folder, chain.empty() ? nullptr : &chain.back(), {next, true});
            chain.push_back({next, std::move(held)});
        }
        const UniqueHandle handle = openForRemoval(folder, chain.empty() ? nullptr : &chain.back(), item);
        deleteThrough(folder, item.path, handle.get());
    }
}

bool present(const fs::path& p)
{
    std::error_code error;
    return fs::status(p, error).type() != fs::file_type::not_found;
}

std::string readText(const fs::path& p)
{
    std::ifstream in(fs::path(extendedPath(p)), std::ios::binary);
    if (!in)
        throw std::runtime_error("Cannot read " + narrow(p.wstring()));
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string readText(const fs::path& p, std::size_t limit)
{
    std::ifstream in(fs::path(extendedPath(p)), std::ios::binary);
    if (!in)
        throw std::runtime_error("Cannot read " + narrow(p.wstring()));
    std::string text(limit, '\0');
    in.read(text.data(), static_cast<std::streamsize>(limit));
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
}

void writeText(const fs::path& p, const std::string& text)
{
    noReparse(p);
    const fs::path partial = partialFile(p);
    noReparse(partial);
    const std::string step = "Cannot write " + narrow(p.wstring());
    // The folder as itself, for the new file's place to be proved by.
    const OpenedItem folder =
        openItself(fullPath(p).parent_path(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE);
    require(folder.handle != nullptr, step.c_str());
    if (folder.link())
        refuseLink();
    const UniqueHandle file = createPartial(partial);
    require(file != nullptr, step.c_str());
    if (!isEntryOf(folder.handle.get(), file.get(), partial.filename().wstring())) {
        discardOnClose(file.get()); // made by this call, wherever a junction took it
        refuseLink();
    }
    // Written beside the file, flushed, then moved over it: a kill, a full volume or a power cut
    // leaves the old file or the new one, never a file cut short, and only ever an extra
    // ".partial" file beside it. The move is flushed too before the call returns.
    const DWORD error = writeAndReplace(file.get(), text, extendedPath(p));
    if (error != ERROR_SUCCESS) {
        discardOnClose(file.get());
        requireCode(false, error, step.c_str());
    }
    // In place already: a flush that fails is told, but the file is not deleted for it.
    require(FlushFileBuffers(file.get()) != FALSE, step.c_str());
}

fs::path partialFile(const fs::path& p)
{
    return p.native() + PARTIAL_SUFFIX;
}

void removeEmptyFolder(const fs::path& folder)
{
    noReparse(folder);
    // Windows removes only an empty folder; a refusal means something else lives there.
    RemoveDirectoryW(extendedPath(folder).c_str());
}
