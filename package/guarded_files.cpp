#include "package/guarded_files.h"

#include <windows.h>

#include <algorithm>
#include <cwchar>
#include <fstream>
#include <iterator>
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

[[noreturn]] void refuseLink()
{
    throw std::runtime_error("Installation paths must not contain links or junctions");
}

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

void removeItem(const fs::path& folder, const TreeItem& item)
{
    const std::wstring literal = extendedPath(item.path);
    const BOOL removed = item.folder ? RemoveDirectoryW(literal.c_str()) : DeleteFileW(literal.c_str());
    if (removed)
        return;
    const DWORD error = GetLastError();
    refuseIfInUse(item.path, error);
    throw fs::filesystem_error("cannot remove all", folder, item.path,
                               std::error_code(static_cast<int>(error), std::system_category()));
}

// Creates or empties the file and writes all of text, flushed to the disk.
bool writeWhole(const fs::path& file, const std::string& text)
{
    const UniqueHandle handle(CreateFileW(extendedPath(file).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    if (handle.get() == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    return WriteFile(handle.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size() && FlushFileBuffers(handle.get());
}

} // namespace

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
    noReparse(folder);
    const DWORD attributes = GetFileAttributesW(extendedPath(folder).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return; // noReparse has just found it missing
    // Everything is examined before the first deletion, so that a link deep inside stops the
    // removal with nothing deleted; and only what was examined is deleted, so that nothing put
    // there in the meantime is followed.
    const bool isFolder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    std::vector<TreeItem> items;
    if (isFolder)
        collectTree(folder, items);
    putLast(folder, last, items);
    items.push_back({folder, isFolder});
    for (const TreeItem& item : items)
        removeItem(folder, item);
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
    // Written beside the file, flushed, then moved over it in one step that reaches the disk before
    // the call returns: a kill, a full volume or a power cut leaves the old file or the new one,
    // never a file cut short, and only ever an extra ".partial" file beside it.
    if (!writeWhole(partial, text) ||
        !MoveFileExW(extendedPath(partial).c_str(), extendedPath(p).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(extendedPath(partial).c_str()); // what is left of it is no use to anyone
        throw std::runtime_error("Cannot write " + narrow(p.wstring()));
    }
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
