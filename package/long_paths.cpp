#include "package/long_paths.h"

#include <cwchar>
#include <string>
#include <system_error>

#include "common/handles.h"

namespace fs = std::filesystem;

namespace {

constexpr std::wstring_view LITERAL = L"\\\\?\\";
constexpr std::wstring_view LITERAL_SHARE = L"\\\\?\\UNC\\";

bool isFolder(const std::wstring& literal)
{
    const DWORD attributes = GetFileAttributesW(literal.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

} // namespace

fs::path fullPath(const fs::path& p)
{
    const std::wstring& given = p.native();
    if (given.starts_with(LITERAL_SHARE))
        return L"\\\\" + given.substr(LITERAL_SHARE.size());
    if (given.starts_with(LITERAL))
        return given.substr(LITERAL.size());
    // GetFullPathNameW also turns slashes into backslashes and resolves "." and "..", which the
    // \\?\ form would take literally.
    std::wstring full(given.size() + MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetFullPathNameW(given.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (length == 0)
            return p;
        if (length < full.size()) {
            full.resize(length);
            return full;
        }
        full.resize(length);
    }
}

std::wstring literalPath(const fs::path& full)
{
    const std::wstring& text = full.native();
    if (text.starts_with(LITERAL) || text.starts_with(L"\\\\.\\"))
        return text; // already literal, or a device, which the \\?\ form would not name
    if (text.starts_with(L"\\\\"))
        return std::wstring(LITERAL_SHARE) + text.substr(2);
    if (text.size() >= 2 && text[1] == L':')
        return std::wstring(LITERAL) + text;
    return text; // not a full path, for the call that follows to refuse
}

std::wstring extendedPath(const fs::path& p)
{
    return literalPath(fullPath(p));
}

void createFolders(const fs::path& folder)
{
    const std::wstring literal = extendedPath(folder);
    if (isFolder(literal))
        return;
    const fs::path parent = folder.parent_path();
    if (!parent.empty() && parent != folder)
        createFolders(parent);
    if (CreateDirectoryW(literal.c_str(), nullptr))
        return;
    const DWORD error = GetLastError();
    // Made meanwhile by someone else: what was wanted is there.
    if (error != ERROR_ALREADY_EXISTS || !isFolder(literal))
        raiseFileSystemError("cannot create directory", folder, error);
}

void listFolder(const fs::path& folder, const std::function<void(const WIN32_FIND_DATAW&)>& visit)
{
    std::wstring pattern = extendedPath(folder);
    if (!pattern.ends_with(L'\\'))
        pattern += L'\\';
    pattern += L'*';
    WIN32_FIND_DATAW found{};
    const HANDLE search = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        raiseFileSystemError("cannot list folder", folder, GetLastError());
    const UniqueSearch owner(search);
    do {
        if (std::wcscmp(found.cFileName, L".") != 0 && std::wcscmp(found.cFileName, L"..") != 0)
            visit(found);
    } while (FindNextFileW(search, &found));
    if (GetLastError() != ERROR_NO_MORE_FILES)
        raiseFileSystemError("cannot list folder", folder, GetLastError());
}

void raiseFileSystemError(const char* operation, const fs::path& p, DWORD error)
{
    throw fs::filesystem_error(operation, p, std::error_code(static_cast<int>(error), std::system_category()));
}
