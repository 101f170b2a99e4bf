#pragma once

#include <string>
#include <vector>

// The QMPACK1 package: a 12-byte header (magic, file count) followed by the entries back to back,
// each a 44-byte fixed part (name length, data length, SHA-256 digest), the name and the data.
// All integers are little-endian. No Windows headers here: the parser is also fuzzed natively.

inline constexpr unsigned char PACKAGE_MAGIC[8] = {'Q', 'M', 'P', 'A', 'C', 'K', '1', 0};
inline constexpr unsigned long long PACKAGE_HEADER_SIZE = 12;
inline constexpr unsigned long long ENTRY_FIXED_SIZE = 44;
inline constexpr unsigned long long DIGEST_SIZE = 32;
inline constexpr unsigned long long MAX_PACKAGE_SIZE = 0x20000000; // 512 MiB
inline constexpr unsigned long long MAX_FILE_COUNT = 30000;
inline constexpr unsigned long long MAX_NAME_LENGTH = 240;
inline constexpr unsigned long long MAX_FILE_SIZE = 0x10000000; // 256 MiB

// One file of a package. digest and data point into the package image, which must stay valid
// and unchanged while the entry is used; only the name is copied.
struct Entry {
    std::string name; // as stored: slashes between components, case kept
    const unsigned char* digest = nullptr; // 32 bytes
    const unsigned char* data = nullptr;
    unsigned long long size = 0;
};

// Checks the whole image and lists its files in package order. Reads only bytes[0 .. length).
// Raises the first problem found as one of: "Invalid package header", "Invalid file count",
// "Truncated package", "Invalid package entry", "Truncated path", "Truncated file",
// "Duplicate package path", "Unsafe package path", "Unsafe package path character",
// "Invalid file path", "Trailing package data".
std::vector<Entry> parsePayload(const unsigned char* bytes, unsigned long long length);
