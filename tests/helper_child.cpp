// A stand-in helper for the tests of starting helper programs. Its first argument says what to
// do: "exit N" ends with code N, "hang" never ends, "report" writes what it was given (one
// argument per line, then the current folder) to report.txt beside itself and ends with 0,
// "say N TEXT DOTS" writes DOTS dots to standard output, then TEXT and a line feed to standard
// error, and ends with code N, "injob" ends with 10 inside a job and with 11 outside any.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

std::string utf8(const std::wstring& text)
{
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string result(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), result.data(), length, nullptr,
                        nullptr);
    return result;
}

int report(int count, wchar_t** arguments)
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring target = self;
    target = target.substr(0, target.find_last_of(L'\\') + 1) + L"report.txt";
    FILE* file = _wfopen(target.c_str(), L"wb");
    if (file == nullptr)
        return 2;
    for (int i = 0; i < count; ++i)
        std::fprintf(file, "%s\n", utf8(arguments[i]).c_str());
    wchar_t folder[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, folder);
    std::fprintf(file, "cwd=%s\n", utf8(folder).c_str());
    std::fclose(file);
    return 0;
}

} // namespace

int wmain(int count, wchar_t** arguments)
{
    if (count >= 3 && std::wcscmp(arguments[1], L"exit") == 0)
        return static_cast<int>(std::wcstoul(arguments[2], nullptr, 10));
    if (count >= 5 && std::wcscmp(arguments[1], L"say") == 0) {
        std::fputs(std::string(std::wcstoul(arguments[4], nullptr, 10), '.').c_str(), stdout);
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", utf8(arguments[3]).c_str());
        return static_cast<int>(std::wcstoul(arguments[2], nullptr, 10));
    }
    if (count >= 2 && std::wcscmp(arguments[1], L"injob") == 0) {
        BOOL inJob = FALSE;
        IsProcessInJob(GetCurrentProcess(), nullptr, &inJob);
        return inJob ? 10 : 11;
    }
    if (count >= 2 && std::wcscmp(arguments[1], L"hang") == 0) {
        Sleep(INFINITE);
        return 0;
    }
    if (count >= 2 && std::wcscmp(arguments[1], L"report") == 0) {
        int split = 0;
        wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &split);
        return report(split, words);
    }
    return 99;
}
