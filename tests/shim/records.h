#pragma once

#include <cstdint>
#include <cwctype>
#include <string>
#include <utility>
#include <vector>

// The record file: one line per record, appended by every process and thread that carries the
// shim. Line format (README.md): pid TAB image TAB function { TAB name=value }, with backslash,
// tab, carriage return and line feed inside fields written as \\ \t \r \n.

using Fields = std::vector<std::pair<std::string, std::string>>;

// Names the file and this process; false when the file cannot be written.
bool openRecords(const std::wstring& path, const std::string& image);

// Releases what openRecords took, when the shim is unloaded before the process ends.
void closeRecords();

// Appends one record. Keeps the thread's last error as it was, so that hooks can record between
// a call and its caller's check.
void writeRecord(const std::string& function, const Fields& fields);

std::string decimal(std::uint64_t value);
std::string hexadecimal(std::uint64_t value, int digits = 1);

// Objects that every process of a session shares (an event, a mutex) are named by the FNV-1a hash
// of the upper-cased path of its record file; the test side names them the same way.
inline std::wstring sessionName(const std::wstring& recordFile, const wchar_t* kind)
{
    std::uint32_t hash = 2166136261u;
    for (wchar_t c : recordFile) {
        hash ^= static_cast<std::uint32_t>(towupper(c));
        hash *= 16777619u;
    }
    return std::wstring(L"Local\\qmshim-") + kind + L"-" + std::to_wstring(hash);
}

// The name of such an object in this process's session.
std::wstring sessionObjectName(const wchar_t* kind);
