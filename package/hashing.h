#pragma once

#include <string>
#include <vector>

// SHA-256 through the Windows cryptography provider, in one pass over a block in memory.
// Raises the step failure "Open SHA256" or "Hash package", or "SHA256 provider error" when the
// provider will not say how large its hash object is.
std::vector<unsigned char> sha256(const void* bytes, unsigned long long length);

// Two lower-case hexadecimal characters per byte, high half first; 64 characters for a digest.
std::string digestText(const std::vector<unsigned char>& digest);
