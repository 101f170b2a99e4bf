#include "tests/shim/records.h"

#include <windows.h>

#include <cstdio>

namespace {

// Plain pointers that live as long as the process: records are written until the very end,
// after the C++ run time of this DLL may have run its destructors.
std::wstring* recordPath = nullptr;
std::string* lineStart = nullptr; // "pid TAB image"
HANDLE appendLock = nullptr;

void escapeInto(std::string& line, const std::string& text)
{
    for (const char c : text) {
        switch (c) {
        case '\\': line += "\\\\"; break;
        case '\t': line += "\\t"; break;
        case '\r': line += "\\r"; break;
        case '\n': line += "\\n"; break;
        default: line += c;
        }
    }
}

bool append(const std::string& line)
{
    const HANDLE file = CreateFileW(recordPath->c_str(), FILE_APPEND_DATA,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool ok = WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) &&
        written == line.size();
    CloseHandle(file);
    return ok;
}

} // namespace

std::string decimal(std::uint64_t value)
{
    return std::to_string(value);
}

std::string hexadecimal(std::uint64_t value, int digits)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
    return text;
}

bool openRecords(const std::wstring& path, const std::string& image)
{
    recordPath = new std::wstring(path);
    lineStart = new std::string(std::to_string(GetCurrentProcessId()) + "\t");
    escapeInto(*lineStart, image);
    appendLock = CreateMutexW(nullptr, FALSE, sessionName(path, L"records").c_str());
    return appendLock != nullptr && append("");
}

void closeRecords()
{
    CloseHandle(appendLock);
    delete recordPath;
    delete lineStart;
    appendLock = nullptr;
    recordPath = nullptr;
    lineStart = nullptr;
}

// Microseconds of the performance counter, which every process of the machine shares, so that
// records of several processes and their parent's clock can be set against each other.
std::uint64_t microseconds()
{
    LARGE_INTEGER now{};
    LARGE_INTEGER frequency{};
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<std::uint64_t>(now.QuadPart / (frequency.QuadPart / 1000000.0));
}

void writeRecord(const std::string& function, const Fields& fields)
{
    const DWORD lastError = GetLastError();
    std::string line = *lineStart + "\t";
    escapeInto(line, function);
    line += "\tus=" + decimal(microseconds());
    for (const auto& [name, value] : fields) {
        line += '\t' + name + '=';
        escapeInto(line, value);
    }
    line += '\n';
    // An abandoned lock only means that another process died while appending; the file is fine.
    const DWORD waited = WaitForSingleObject(appendLock, 30000);
    const bool ok = append(line);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED)
        ReleaseMutex(appendLock);
    if (!ok)
        OutputDebugStringA(("qmshim: cannot append to the record file: " + line).c_str());
    SetLastError(lastError);
}

std::wstring sessionObjectName(const wchar_t* kind)
{
    return sessionName(*recordPath, kind);
}
