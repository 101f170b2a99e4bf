#include "tests/support/links.h"

#include <windows.h>

#include <stdexcept>
#include <string>

#include "common/text.h"

namespace {

std::string unixPath(const std::filesystem::path& windowsPath)
{
    using UnixFileName = char*(CDECL*)(const wchar_t*);
    const auto convert = reinterpret_cast<UnixFileName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    if (convert == nullptr)
        throw std::runtime_error("links can only be made under Wine");
    char* converted = convert(windowsPath.c_str());
    if (converted == nullptr)
        throw std::runtime_error("no Unix path for " + narrow(windowsPath.wstring()));
    std::string result = converted;
    HeapFree(GetProcessHeap(), 0, converted);
    return result;
}

void runUnix(std::wstring commandLine)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started))
        throw std::runtime_error("cannot run " + narrow(commandLine));
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
}

// Waiting on a Unix child is not reliable under Wine, so wait for its effect to show instead.
void waitUntil(const std::filesystem::path& link, bool present)
{
    for (int attempt = 0; attempt < 200; ++attempt) {
        const DWORD attributes = GetFileAttributesW(link.c_str());
        const bool isLink = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        if (isLink == present)
            return;
        Sleep(25);
    }
    throw std::runtime_error("the link " + narrow(link.wstring()) + (present ? " did not appear" : " stayed"));
}

} // namespace

void makeDirectoryLink(const std::filesystem::path& link, const std::filesystem::path& target)
{
    runUnix(L"/bin/ln -s \"" + widen(unixPath(target)) + L"\" \"" + widen(unixPath(link)) + L"\"");
    waitUntil(link, true);
}

void removeLink(const std::filesystem::path& link)
{
    runUnix(L"/bin/rm \"" + widen(unixPath(link)) + L"\"");
    waitUntil(link, false);
}
