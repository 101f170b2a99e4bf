#include "tests/support/files.h"

#include <windows.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

#include "common/text.h"

std::string readFile(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void put(const std::filesystem::path& file, const std::string& content)
{
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << content;
}

void makeFoldersAtAnyLength(const std::filesystem::path& folder)
{
    std::filesystem::path level = folder.root_path();
    for (const std::filesystem::path& part : folder.relative_path()) {
        level /= part;
        CreateDirectoryW((L"\\\\?\\" + level.wstring()).c_str(), nullptr); // a level already there is fine
    }
    const DWORD attributes = GetFileAttributesW((L"\\\\?\\" + folder.wstring()).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        throw std::runtime_error("cannot make the folder " + narrow(folder.wstring()));
}

bool existsAtAnyLength(const std::filesystem::path& path)
{
    return GetFileAttributesW((L"\\\\?\\" + path.wstring()).c_str()) != INVALID_FILE_ATTRIBUTES;
}
