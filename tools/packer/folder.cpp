#include "tools/packer/folder.h"

#include <windows.h>

#include <algorithm>
#include <set>
#include <stdexcept>

#include "common/text.h"
#include "package/long_paths.h"
#include "package/names.h"
#include "package/parser.h"

namespace {

[[noreturn]] void refuseFile(const std::string& name, const std::string& reason)
{
    throw std::runtime_error("Cannot pack \"" + name + "\": " + reason);
}

void walk(const std::filesystem::path& folder, const std::string& prefix, std::vector<SourceFile>& files)
{
    listFolder(folder, [&](const WIN32_FIND_DATAW& found) {
        const std::string name = prefix + narrow(found.cFileName);
        // A link would pack whatever it points to, which may lie outside the folder.
        if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
            refuseFile(name, "symbolic links and junctions are not packed");
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            walk(folder / found.cFileName, name + "/", files);
        else
            files.push_back({name, folder / found.cFileName,
                             static_cast<unsigned long long>(found.nFileSizeHigh) << 32 | found.nFileSizeLow});
    });
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

} // namespace

std::vector<SourceFile> collectFiles(const std::filesystem::path& folder)
{
    if (!std::filesystem::is_directory(folder))
        throw std::runtime_error(narrow(folder.wstring()) + " is not a folder");
    std::vector<SourceFile> files;
    walk(fullPath(folder), "", files);
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
