#include "sample-console/shared/log.h"

#include <windows.h>

#include <cstdio>
#include <mutex>

#include "common/folders.h"
#include "common/handles.h"

namespace {

std::mutex logLock; // connection threads log concurrently; lines must not interleave

std::string timestamp()
{
    SYSTEMTIME now{};
    GetLocalTime(&now);
    char text[32];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    return text;
}

} // namespace

std::filesystem::path logFile()
{
    return dataDir() / L"logs" / L"console.log";
}

void logLine(const std::string& text)
{
    try {
        const std::filesystem::path file = logFile();
        const std::string line = timestamp() + " " + text + "\r\n";
        const std::lock_guard<std::mutex> hold(logLock);
        // Only "logs" itself may be made here: without the data folder this fails, and setup,
        // not the console, decides where the data folder lives and how it is protected.
        CreateDirectoryW(file.parent_path().c_str(), nullptr);
        const UniqueHandle log(CreateFileW(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (log.get() == INVALID_HANDLE_VALUE)
            return; // no log folder: the console runs on without a log
        DWORD written = 0;
        WriteFile(log.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr); // a lost line is not worth stopping for
    } catch (...) {
        // Locating ProgramData or allocating the line failed; logging must never end the console.
    }
}

std::string printable(const std::string& text, size_t maxLength)
{
    std::string result;
    for (const char c : text.substr(0, maxLength))
        result += (c >= 0x20 && c <= 0x7E) ? c : '?';
    if (text.size() > maxLength)
        result += "...";
    return result;
}
