#include "package/guarded_files.h"

#include <windows.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

#include "common/text.h"

namespace fs = std::filesystem;

void noReparse(const fs::path& p)
{
    for (fs::path current = p; !current.empty();) {
        const DWORD attributes = GetFileAttributesW(current.c_str());
        // Any reparse point counts, not only symbolic links: junctions and mount points redirect too.
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
            throw std::runtime_error("Installation paths must not contain links or junctions");
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
    // Everything is examined before the first deletion, so a link deep inside stops the removal
    // with nothing deleted. Entries are checked before the walk could descend into them.
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        noReparse(entry.path());
    fs::remove_all(folder);
}

std::string readText(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    if (!in)
        throw std::runtime_error("Cannot read " + narrow(p.wstring()));
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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
