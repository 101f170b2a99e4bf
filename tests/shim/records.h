#pragma once

#include <cstdint>
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
