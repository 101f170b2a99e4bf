#include "app/run_log.h"

#include <windows.h>
#include <sddl.h>

#include <cstdio>
#include <system_error>

#include "common/handles.h"
#include "common/text.h"
#include "core/relocate.h"

namespace fs = std::filesystem;

namespace {

fs::path runLog;

// Owned by Administrators whoever ran the setup, so that under the "object creator" owner policy
// no unelevated program of the administrator's own can rewrite what the run reported; the
// Windows folder's Temp lets no other user read or change another's file.
UniqueHandle createNew(const fs::path& path)
{
    PSECURITY_DESCRIPTOR raw = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BA", SDDL_REVISION_1, &raw, nullptr);
    const LocalPtr<void> descriptor(raw); // without it the file is the creator's, and still the run's
    SECURITY_ATTRIBUTES attributes{sizeof attributes, raw, FALSE};
    return UniqueHandle(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, &attributes,
                                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// A name that no earlier run has taken: the time, this process's id and, should a file of that
// name be there already, a number. CREATE_NEW never opens a file that somebody left there.
fs::path newDefaultLog()
{
    SYSTEMTIME now{};
    GetLocalTime(&now);
    wchar_t stamp[64];
    std::swprintf(stamp, 64, L"Quellmark-Console-Setup-%04u%02u%02u-%02u%02u%02u-%lu", now.wYear, now.wMonth,
                  now.wDay, now.wHour, now.wMinute, now.wSecond, GetCurrentProcessId());
    const fs::path folder = systemTemporaryFolder();
    for (int attempt = 1; attempt <= 20; ++attempt) {
        const fs::path path =
            folder / (stamp + (attempt == 1 ? std::wstring() : L"-" + std::to_wstring(attempt)) + L".log");
        if (createNew(path).get() != INVALID_HANDLE_VALUE)
            return path;
    }
    return {};
}

std::wstring lineStart()
{
    SYSTEMTIME now{};
    GetLocalTime(&now);
    wchar_t stamp[32];
    std::swprintf(stamp, 32, L"%04u-%02u-%02u %02u:%02u:%02u  ", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
    return stamp;
}

std::wstring indented(const std::wstring& text)
{
    std::wstring lines;
    for (size_t at = 0; at < text.size(); ++at) {
        if (text[at] == L'\r' && at + 1 < text.size() && text[at + 1] == L'\n')
            continue; // the line feed that follows ends the line
        lines += text[at] == L'\n' ? std::wstring(L"\r\n    ") : std::wstring(1, text[at]);
    }
    return lines;
}

} // namespace

fs::path startRunLog(const fs::path& path)
{
    try {
        runLog = path.empty() ? newDefaultLog() : path;
        std::error_code ignored; // a folder that cannot be made leaves a log that cannot be written
        if (!path.empty())
            fs::create_directories(fs::absolute(path).parent_path(), ignored);
    } catch (...) {
        runLog.clear(); // the Windows folder could not be located: the run goes on without a log
    }
    return runLog;
}

void logEvent(const std::wstring& text) noexcept
{
    try {
        if (runLog.empty())
            return;
        const std::string line = narrow(lineStart() + indented(text) + L"\r\n");
        // Opened for each line and shared, so that the line is on the disk and readable at once,
        // and so that the uninstall's copy of this program can write into the same log.
        const UniqueHandle file(CreateFileW(runLog.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                            nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        DWORD written = 0;
        WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr); // nothing to tell
    } catch (...) {
        // Only a failed allocation gets here; the run's exit code still tells how it went.
    }
}
