#pragma once

#include <memory>
#include <string>
#include <vector>

// SHA-256 through the Windows cryptography provider, in one pass over a block in memory.
// Raises the step failure "Open SHA256" or "Hash package", or "SHA256 provider error" when the
// provider will not say how large its hash object is.
std::vector<unsigned char> sha256(const void* bytes, unsigned long long length);

// The SHA-256 provider kept open for many digests: Windows finds, loads and initialises a
// provider on every open, and advises keeping one. Several threads may use one provider at the
// same time, each digest having a hash object of its own. Opening raises as sha256 does.
struct Sha256Closer {
    void operator()(void* provider) const noexcept;
};
using Sha256Provider = std::unique_ptr<void, Sha256Closer>;
Sha256Provider openSha256();
std::vector<unsigned char> sha256(const Sha256Provider& provider, const void* bytes, unsigned long long length);

// Two lower-case hexadecimal characters per byte, high half first; 64 characters for a digest.
std::string digestText(const std::vector<unsigned char>& digest);
