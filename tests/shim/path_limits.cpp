#include "tests/shim/path_limits.h"

#include <windows.h>

#include <cerrno>
#include <cwchar>
#include <string>

#include "common/text.h"
#include "tests/shim/records.h"

namespace {

constexpr std::uint64_t MINUS_ONE = ~std::uint64_t{0}; // INVALID_HANDLE_VALUE, INVALID_FILE_ATTRIBUTES, -1
constexpr std::uint32_t FILES = MAX_PATH;
constexpr std::uint32_t FOLDERS = MAX_PATH - 12;

struct LimitedFunction {
    const char* name;
    PathLimit limit;
};

const LimitedFunction LIMITED[] = {
    {"CreateFileW", {FILES, MINUS_ONE, false, 1}},
    {"GetFileAttributesW", {FILES, MINUS_ONE, false, 1}},
    {"GetFileAttributesExW", {FILES, FALSE, false, 1}},
    {"SetFileAttributesW", {FILES, FALSE, false, 1}},
    {"CreateDirectoryW", {FOLDERS, FALSE, false, 1}},
    {"RemoveDirectoryW", {FILES, FALSE, false, 1}},
    {"DeleteFileW", {FILES, FALSE, false, 1}},
    {"FindFirstFileW", {FILES, MINUS_ONE, false, 1}},
    {"FindFirstFileExW", {FILES, MINUS_ONE, false, 1}},
    {"CopyFileW", {FILES, FALSE, false, 2}},
    {"MoveFileExW", {FILES, FALSE, false, 2}},
    // What std::ifstream, std::ofstream and std::filesystem call in msvcrt.
    {"_wfopen", {FILES, 0, true, 1}},
    {"_wopen", {FILES, MINUS_ONE, true, 1}},
    {"_wstat64", {FILES, MINUS_ONE, true, 1}},
    {"_wmkdir", {FOLDERS, MINUS_ONE, true, 1}},
    {"_wrmdir", {FILES, MINUS_ONE, true, 1}},
    {"_wremove", {FILES, MINUS_ONE, true, 1}},
    {"_wunlink", {FILES, MINUS_ONE, true, 1}},
    {"_wfindfirst64i32", {FILES, MINUS_ONE, true, 1}},
};

bool isLiteral(const wchar_t* path)
{
    return std::wcsncmp(path, L"\\\\?\\", 4) == 0 || std::wcsncmp(path, L"\\??\\", 4) == 0;
}

// Windows measures the full path, so a short name is too long below a deep current folder.
DWORD fullLength(const wchar_t* path)
{
    const DWORD size = GetFullPathNameW(path, 0, nullptr, nullptr);
    return size > 0 ? size - 1 : 0;
}

} // namespace

void installPathLimits()
{
    for (const LimitedFunction& function : LIMITED)
        intercept(function.name).pathLimit = &function.limit;
}

bool refusedForLength(const Entry& entry, const std::uint64_t* registers, std::uint64_t call,
                      std::uint64_t* result) noexcept
{
    const PathLimit& rule = *entry.pathLimit;
    for (int i = 0; i < rule.paths; ++i) {
        const auto* path = reinterpret_cast<const wchar_t*>(registers[i]);
        if (path == nullptr || isLiteral(path))
            continue;
        const DWORD length = fullLength(path);
        if (length < rule.limit)
            continue;
        try {
            writeRecord(entry.name, {{"call", decimal(call)},
                                     {"path", narrow(path)},
                                     {"length", decimal(length)},
                                     {"limit", decimal(rule.limit)}});
        } catch (...) {
            OutputDebugStringA("qmshim: a refused path could not be recorded\n");
        }
        *result = rule.failure;
        if (rule.runtime)
            errno = ENOENT;
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return true;
    }
    return false;
}
