#include "package/guarded_files.h"

#include <windows.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <system_error>
#include <type_traits>
#include <vector>
#include <stdexcept>

#include "common/text.h"

namespace fs = std::filesystem;

namespace {

// Any reparse point counts, not only symbolic links: junctions and mount points redirect too.
void refuseReparsePoint(const fs::path& p)
{
    const DWORD attributes = GetFileAttributesW(p.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        throw std::runtime_error("Installation paths must not contain links or junctions");
}

struct FindCloser {
    void operator()(HANDLE search) const noexcept { FindClose(search); }
};
using UniqueSearch = std::unique_ptr<std::remove_pointer_t<HANDLE>, FindCloser>;

struct TreeEntry {
    fs::path path;
    bool folder;
};

// Every file and folder below folder, each folder after its content, in the order they can be
// deleted. The listing's own attributes are examined, so a reparse point is refused before the
// walk could enter it; everything above it has been examined by then.
void listTree(const fs::path& folder, std::vector<TreeEntry>& entries)
{
    WIN32_FIND_DATAW found{};
    const UniqueSearch search(FindFirstFileW((folder / L"*").c_str(), &found));
    if (search.get() == INVALID_HANDLE_VALUE)
        throw fs::filesystem_error("cannot remove all", folder,
                                   std::error_code(static_cast<int>(GetLastError()), std::system_category()));
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            throw std::runtime_error("Installation paths must not contain links or junctions");
        const bool isFolder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (isFolder)
            listTree(folder / name, entries);
        entries.push_back({folder / name, isFolder});
    } while (FindNextFileW(search.get(), &found));
    if (GetLastError() != ERROR_NO_MORE_FILES)
        throw fs::filesystem_error("cannot remove all", folder,
                                   std::error_code(static_cast<int>(GetLastError()), std::system_category()));
}

} // namespace

void noReparse(const fs::path& p)
{
    for (fs::path current = p; !current.empty();) {
        refuseReparsePoint(current);
        fs::path parent = current.parent_path();
        if (parent == current)
            break; // the drive's root has been examined
        current = std::move(parent);
    }
}

void removeTree(const fs::path& folder)
{
    noReparse(folder);
    if (!fs::exists(folder))
        return;
    // Everything is examined before the first deletion, so that a link deep inside stops the
    // removal with nothing deleted; and only what was examined is deleted, so that nothing put
    // there in the meantime is followed.
    std::vector<TreeEntry> entries;
    listTree(folder, entries);
    entries.push_back({folder, true});
    for (const TreeEntry& entry : entries) {
        const BOOL removed = entry.folder ? RemoveDirectoryW(entry.path.c_str()) : DeleteFileW(entry.path.c_str());
        if (!removed)
            throw fs::filesystem_error("cannot remove all", folder, entry.path,
                                       std::error_code(static_cast<int>(GetLastError()), std::system_category()));
    }
}

std::string readText(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    if (!in)
        throw std::runtime_error("Cannot read " + narrow(p.wstring()));
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string readText(const fs::path& p, std::size_t limit)
{
    std::ifstream in(p, std::ios::binary);
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
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (!out)
        throw std::runtime_error("Cannot write " + narrow(p.wstring()));
}

void removeEmptyFolder(const fs::path& folder)
{
    noReparse(folder);
    // Windows removes only an empty folder; a refusal means something else lives there.
    RemoveDirectoryW(folder.c_str());
}
