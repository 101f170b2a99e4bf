#include "tools/packer/folder.h"

#include <windows.h>

#include <algorithm>
#include <memory>
#include <set>
#include <stdexcept>

#include "common/text.h"
#include "package/names.h"
#include "package/parser.h"

namespace {

struct FindCloser {
    void operator()(HANDLE search) const noexcept { FindClose(search); }
};
using UniqueSearch = std::unique_ptr<void, FindCloser>;

[[noreturn]] void refuseFile(const std::string& name, const std::string& reason)
{
    throw std::runtime_error("Cannot pack \"" + name + "\": " + reason);
}

void walk(const std::filesystem::path& folder, const std::string& prefix, std::vector<SourceFile>& files)
{
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileExW((folder / L"*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                     nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        throw std::runtime_error("Cannot list the folder " + narrow(folder.wstring()));
    const UniqueSearch owner(search);
    do {
        const std::wstring leaf = found.cFileName;
        if (leaf == L"." || leaf == L"..")
            continue;
        const std::string name = prefix + narrow(leaf);
        // A link would pack whatever it points to, which may lie outside the folder.
        if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
            refuseFile(name, "symbolic links and junctions are not packed");
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            walk(folder / leaf, name + "/", files);
        else
            files.push_back({name, folder / leaf,
                             static_cast<unsigned long long>(found.nFileSizeHigh) << 32 | found.nFileSizeLow});
    } while (FindNextFileW(search, &found));
    if (GetLastError() != ERROR_NO_MORE_FILES)
        throw std::runtime_error("Cannot list the folder " + narrow(folder.wstring()));
}

// A name that clashes with an earlier one is reported with both, so that the release engineer
// sees which two files a case-sensitive file system let live side by side.
[[noreturn]] void refuseClash(const std::vector<SourceFile>& files, std::size_t index, const std::string& reason)
{
    for (std::size_t earlier = 0; earlier < index; ++earlier)
        if (namesClash(files[earlier].name, files[index].name))
            throw std::runtime_error("Cannot pack both \"" + files[earlier].name + "\" and \"" + files[index].name +
                                     "\": " + reason);
    refuseFile(files[index].name, reason);
}

void checkFile(const std::vector<SourceFile>& files, std::size_t index, std::set<std::string>& folded)
{
    const SourceFile& file = files[index];
    if (file.name.size() > MAX_NAME_LENGTH)
        refuseFile(file.name, "its path is longer than 240 bytes");
    try {
        admitPackageName(folded, file.name);
    } catch (const std::runtime_error& refusal) {
        if (std::string(refusal.what()) == "Duplicate package path")
            refuseClash(files, index, refusal.what());
        refuseFile(file.name, refusal.what());
    }
    if (file.size > MAX_FILE_SIZE)
        refuseFile(file.name, "it is larger than 256 MiB");
}

// The wizard starts the service program, runs the interpreter and imports from the backend
// folder; a package without them would install and then fail.
void checkConsoleLayout(const std::vector<SourceFile>& files)
{
    bool service = false;
    bool python = false;
    bool backend = false;
    for (const SourceFile& file : files) {
        const std::string folded = foldName(file.name);
        service = service || folded == "quellmarkconsoleservice.exe";
        python = python || folded == "runtime/python.exe";
        backend = backend || folded.starts_with("server/backend/");
    }
    if (!service)
        throw std::runtime_error("The folder lacks QuellmarkConsoleService.exe at its root");
    if (!python)
        throw std::runtime_error("The folder lacks runtime/python.exe");
    if (!backend)
        throw std::runtime_error("The folder lacks the folder server/backend (with at least one file in it)");
}

// A name may be 240 bytes long below a folder whose own path is long; the \\?\ form lifts the
// 260-character limit of the ordinary path form.
std::filesystem::path longPath(const std::filesystem::path& folder)
{
    const std::wstring full = std::filesystem::absolute(folder).wstring();
    if (full.starts_with(L"\\\\?\\"))
        return full;
    if (full.starts_with(L"\\\\"))
        return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

} // namespace

std::vector<SourceFile> collectFiles(const std::filesystem::path& folder)
{
    if (!std::filesystem::is_directory(folder))
        throw std::runtime_error(narrow(folder.wstring()) + " is not a folder");
    std::vector<SourceFile> files;
    walk(longPath(folder), "", files);
    std::sort(files.begin(), files.end(),
              [](const SourceFile& a, const SourceFile& b) { return a.name < b.name; });

    if (files.empty())
        throw std::runtime_error("The folder holds no files");
    if (files.size() > MAX_FILE_COUNT)
        throw std::runtime_error("The folder holds " + std::to_string(files.size()) +
                                 " files; a package holds at most 30000");
    std::set<std::string> folded;
    for (std::size_t index = 0; index < files.size(); ++index)
        checkFile(files, index, folded);
    if (packageSize(files) > MAX_PACKAGE_SIZE)
        throw std::runtime_error("The package would be " + std::to_string(packageSize(files)) +
                                 " bytes; a package holds at most 512 MiB");
    checkConsoleLayout(files);
    return files;
}

unsigned long long packageSize(const std::vector<SourceFile>& files)
{
    unsigned long long size = PACKAGE_HEADER_SIZE;
    for (const SourceFile& file : files)
        size += ENTRY_FIXED_SIZE + file.name.size() + file.size;
    return size;
}
