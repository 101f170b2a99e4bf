#include "app/run_log.h"

#include <windows.h>
#include <sddl.h>

#include <cstdio>
#include <cwctype>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "common/failure.h"
#include "common/handles.h"
#include "common/text.h"
#include "core/relocate.h"
#include "engine/folder_owner.h"

namespace fs = std::filesystem;

namespace {

UniqueHandle runLog;               // open for appending only: every write lands at the file's end
std::vector<UniqueHandle> heldWay; // the folders on a chosen log's way
fs::path runLogPath;               // the full path, as the uninstall's copy is given it

constexpr DWORD LOG_ACCESS = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
constexpr DWORD FOLDER_ACCESS = FILE_READ_ATTRIBUTES | READ_CONTROL;
// Without FILE_SHARE_DELETE nobody can rename or delete what is held; readers and the uninstall's
// copy can still open the log and append to it.
constexpr DWORD SHARING = FILE_SHARE_READ | FILE_SHARE_WRITE;
// A link itself, not where it leads; a folder as well as a file.
constexpr DWORD AS_ITSELF = FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS;
// More links on one way than any arrangement of folders needs: a loop.
constexpr int MOST_LINKS = 32;

// Owned by Administrators whoever ran the setup, so that under the "object creator" owner policy
// no unelevated program of the administrator's own can rewrite what the run reported. The list
// is inherited; the Windows folder's Temp lets no other user read or change another's file.
LocalPtr<void> ownedByAdministrators()
{
    PSECURITY_DESCRIPTOR raw = nullptr;
    require(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BA", SDDL_REVISION_1, &raw, nullptr) != FALSE,
            "Create log permissions");
    return LocalPtr<void>(raw);
}

UniqueHandle createNew(const fs::path& path)
{
    const LocalPtr<void> owner = ownedByAdministrators();
    SECURITY_ATTRIBUTES attributes{sizeof attributes, owner.get(), FALSE};
    // CREATE_NEW never opens what is there already, a link included.
    return UniqueHandle(CreateFileW(path.c_str(), LOG_ACCESS, SHARING, &attributes, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL | AS_ITSELF, nullptr));
}

// A name that no earlier run has taken: the time, this process's id and, should a file of that
// name be there already, a number.
void startDefaultLog() noexcept
{
    try {
        SYSTEMTIME now{};
        GetLocalTime(&now);
        wchar_t stamp[64];
        std::swprintf(stamp, 64, L"Quellmark-Console-Setup-%04u%02u%02u-%02u%02u%02u-%lu", now.wYear, now.wMonth,
                      now.wDay, now.wHour, now.wMinute, now.wSecond, GetCurrentProcessId());
        const fs::path folder = systemTemporaryFolder();
        for (int attempt = 1; attempt <= 20; ++attempt) {
            const fs::path path =
                folder / (stamp + (attempt == 1 ? std::wstring() : L"-" + std::to_wstring(attempt)) + L".log");
            if (UniqueHandle created = createNew(path); created.get() != INVALID_HANDLE_VALUE) {
                runLog = std::move(created);
                runLogPath = path;
                return;
            }
        }
    } catch (...) {
        // The Windows folder could not be located: the run goes on without a log.
    }
}

fs::path fullPath(const std::wstring& given)
{
    std::wstring buffer(GetFullPathNameW(given.c_str(), 0, nullptr, nullptr), L'\0');
    const DWORD length = GetFullPathNameW(given.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
    require(length != 0 && length < buffer.size(), "Locate log file");
    buffer.resize(length);
    return buffer;
}

// Where an open handle really is, in the plain form ("C:\...", "\\server\share\...").
fs::path finalPath(HANDLE held)
{
    std::wstring buffer(MAX_PATH, L'\0');
    DWORD length = GetFinalPathNameByHandleW(held, buffer.data(), static_cast<DWORD>(buffer.size()), VOLUME_NAME_DOS);
    if (length >= buffer.size()) { // the answer is the size needed
        buffer.resize(length);
        length = GetFinalPathNameByHandleW(held, buffer.data(), static_cast<DWORD>(buffer.size()), VOLUME_NAME_DOS);
    }
    require(length != 0 && length < buffer.size(), "Locate log file");
    buffer.resize(length);
    if (buffer.starts_with(L"\\\\?\\UNC\\"))
        return L"\\\\" + buffer.substr(8);
    return buffer.starts_with(L"\\\\?\\") ? buffer.substr(4) : buffer;
}

bool samePath(const fs::path& first, const fs::path& second)
{
    const std::wstring& a = first.native();
    const std::wstring& b = second.native();
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

UniqueHandle openAsItself(const fs::path& path, DWORD access)
{
    return UniqueHandle(CreateFileW(path.c_str(), access, SHARING, nullptr, OPEN_EXISTING, AS_ITSELF, nullptr));
}

// One element of the way, a folder or (last) the log, opened as itself; created when missing.
// What somebody else made meanwhile is opened as it is, and judged like anything that was there.
UniqueHandle openOrCreate(const fs::path& path, bool last)
{
    const char* step = last ? "Open log file" : "Open log folder";
    const DWORD access = last ? LOG_ACCESS : FOLDER_ACCESS;
    if (UniqueHandle held = openAsItself(path, access); held.get() != INVALID_HANDLE_VALUE)
        return held;
    require(GetLastError() == ERROR_FILE_NOT_FOUND, step);
    if (last) {
        if (UniqueHandle created = createNew(path); created.get() != INVALID_HANDLE_VALUE)
            return created;
        require(GetLastError() == ERROR_FILE_EXISTS, "Create log file");
    } else {
        const LocalPtr<void> owner = ownedByAdministrators();
        SECURITY_ATTRIBUTES attributes{sizeof attributes, owner.get(), FALSE};
        require(CreateDirectoryW(path.c_str(), &attributes) != FALSE || GetLastError() == ERROR_ALREADY_EXISTS,
                "Create log folder");
    }
    UniqueHandle held = openAsItself(path, access);
    require(held.get() != INVALID_HANDLE_VALUE, step);
    return held;
}

// Where a link leads, opened through it.
fs::path linkTarget(const fs::path& link)
{
    const UniqueHandle target(CreateFileW(link.c_str(), FILE_READ_ATTRIBUTES, SHARING, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    require(target.get() != INVALID_HANDLE_VALUE, "Open log folder");
    return finalPath(target.get());
}

// One walk down path, a full path, from its drive's root: returns the log, with held holding the
// folders above it, or else nothing, with path changed to where a link on the way leads. An
// administrator's junction to another drive is fine, but the folders it leads into may still be
// anyone's, so the walk starts again there, at that drive's root; the link is not used again.
// Raises the reason why the log cannot be used.
UniqueHandle walk(fs::path& path, std::vector<UniqueHandle>& held)
{
    held.clear();
    std::vector<fs::path> names;
    for (const fs::path& name : path.relative_path())
        if (!name.empty())
            names.push_back(name);
    if (names.empty())
        throw std::runtime_error("it is a folder.");
    fs::path folder; // where the folder last held really is
    for (size_t i = 0; i <= names.size(); ++i) {
        const bool last = i == names.size();
        const fs::path wanted = i == 0 ? path.root_path() : folder / names[i - 1];
        UniqueHandle element = i == 0 ? openAsItself(wanted, FOLDER_ACCESS) : openOrCreate(wanted, last);
        BY_HANDLE_FILE_INFORMATION facts{};
        require(element.get() != INVALID_HANDLE_VALUE && GetFileInformationByHandle(element.get(), &facts) != FALSE,
                "Open log folder");
        if (!trustedOwner(element.get()))
            throw std::runtime_error((last ? std::string("it") : narrow(wanted.wstring())) +
                                     " is owned by another account, not by Administrators or the system.");
        const fs::path real = finalPath(element.get());
        // A link, or a drive letter that stands for a folder (subst).
        if ((facts.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || (i == 0 && real.has_relative_path())) {
            path = i == 0 ? real : linkTarget(wanted);
            for (size_t rest = i; rest < names.size(); ++rest)
                path /= names[rest];
            return nullptr;
        }
        // Each element is opened by its path, so the folder above must still be the one held. It
        // cannot be renamed or deleted, but an account that may write to it can make it a junction
        // while it is empty (that takes write access, which no sharing mode refuses): what was
        // opened through it is then elsewhere, and refused before a line is written to it.
        if (i > 0 && !samePath(real.parent_path(), folder))
            throw std::runtime_error("a folder on its way was changed while it was checked.");
        const bool isFolder = (facts.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (last && isFolder)
            throw std::runtime_error("it is a folder.");
        if (last && facts.nNumberOfLinks > 1)
            throw std::runtime_error("it has more than one name (hard links), so it is another file as well.");
        if (last)
            return element;
        if (!isFolder)
            throw std::runtime_error(narrow(wanted.wstring()) + " is not a folder.");
        folder = real;
        held.push_back(std::move(element));
    }
    return nullptr; // not reached: the last element returns or raises
}

UniqueHandle openChosen(fs::path path, std::vector<UniqueHandle>& held)
{
    for (int links = 0; links <= MOST_LINKS; ++links)
        if (UniqueHandle log = walk(path, held))
            return log;
    throw std::runtime_error("its way leads through more than 32 links.");
}

std::wstring identityOf(HANDLE file)
{
    FILE_ID_INFO id{};
    require(GetFileInformationByHandleEx(file, FileIdInfo, &id, sizeof id) != FALSE, "Identify log file");
    wchar_t text[64];
    int at = std::swprintf(text, 64, L"%016llX-", static_cast<unsigned long long>(id.VolumeSerialNumber));
    for (const BYTE part : id.FileId.Identifier)
        at += std::swprintf(text + at, 64 - at, L"%02X", part);
    return text;
}

std::wstring refusal(const fs::path& path, std::wstring reason)
{
    while (!reason.empty() && std::iswspace(reason.back()))
        reason.pop_back(); // the system's messages end with a line break
    if (!reason.ends_with(L'.'))
        reason += L'.';
    return L"The log file " + path.wstring() + L" cannot be used: " + reason +
           L" Choose a file in a folder that only administrators can change, or leave out --log, and try again.";
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

std::wstring startRunLog(const CommandLine& commandLine) noexcept
{
    if (commandLine.log.empty()) {
        startDefaultLog();
        return {};
    }
    fs::path path;
    try {
        path = commandLine.log;
        // Once, now: an uninstall's copy runs in another current folder.
        path = fullPath(commandLine.log);
        std::vector<UniqueHandle> way;
        UniqueHandle file = openChosen(path, way);
        if (!commandLine.logIdentity.empty() && identityOf(file.get()) != commandLine.logIdentity)
            throw std::runtime_error("it is not the file that the uninstallation's first run writes to.");
        runLog = std::move(file);
        heldWay = std::move(way);
        runLogPath = path;
        return {};
    } catch (...) {
        std::wstring text;
        try {
            text = refusal(path, caughtFailureText());
        } catch (...) {
            text = L"The log file cannot be used."; // only a failed allocation gets here
        }
        startDefaultLog();
        return text;
    }
}

void logEvent(const std::wstring& text) noexcept
{
    try {
        if (!runLog)
            return;
        const std::string line = narrow(lineStart() + indented(text) + L"\r\n");
        DWORD written = 0;
        WriteFile(runLog.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr); // nothing to tell
    } catch (...) {
        // Only a failed allocation gets here; the run's exit code still tells how it went.
    }
}

void logProgress(int percent, const std::wstring& status)
{
    logEvent(std::to_wstring(percent) + L"% " + status);
}

std::wstring logOptions()
{
    if (!runLog)
        return {};
    return L" --log " + quote(runLogPath.wstring()) + L" --log-id " + identityOf(runLog.get());
}
