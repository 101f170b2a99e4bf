#include "package/hashing.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "common/failure.h"

namespace {

struct HashDestroyer {
    void operator()(BCRYPT_HASH_HANDLE hash) const noexcept { BCryptDestroyHash(hash); }
};
using UniqueHash = std::unique_ptr<void, HashDestroyer>;

constexpr ULONG SHA256_SIZE = 32;

ULONG hashObjectSize(BCRYPT_ALG_HANDLE provider)
{
    DWORD size = 0;
    ULONG written = 0;
    const NTSTATUS status = BCryptGetProperty(provider, BCRYPT_OBJECT_LENGTH, reinterpret_cast<PUCHAR>(&size),
                                              sizeof size, &written, 0);
    if (status != 0)
        throw std::runtime_error("SHA256 provider error");
    return size;
}

// BCryptHashData takes a 32-bit length. Every real input (512 MiB at most) goes in one call;
// a longer block goes in slices, so that it is hashed whole instead of being silently cut.
void hashData(BCRYPT_HASH_HANDLE hash, const void* bytes, unsigned long long length)
{
    auto* next = static_cast<PUCHAR>(const_cast<void*>(bytes)); // CNG only reads the input
    do {
        const ULONG slice = static_cast<ULONG>(std::min<unsigned long long>(length, 0xFFFFFFFFULL));
        const NTSTATUS status = BCryptHashData(hash, next, slice, 0);
        requireCode(status == 0, static_cast<unsigned long>(status), "Hash package");
        next += slice;
        length -= slice;
    } while (length > 0);
}

} // namespace

void Sha256Closer::operator()(void* provider) const noexcept
{
    BCryptCloseAlgorithmProvider(provider, 0);
}

// CNG reports a failure only by the status it returns and leaves the thread's last error as it
// was, so the status is the code that the failure shows.
Sha256Provider openSha256()
{
    BCRYPT_ALG_HANDLE provider = nullptr;
    const NTSTATUS status = BCryptOpenAlgorithmProvider(&provider, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    requireCode(status == 0, static_cast<unsigned long>(status), "Open SHA256");
    return Sha256Provider(provider);
}

std::vector<unsigned char> sha256(const void* bytes, unsigned long long length)
{
    return sha256(openSha256(), bytes, length);
}

std::vector<unsigned char> sha256(const Sha256Provider& provider, const void* bytes, unsigned long long length)
{
    // Declared first so that the hash object outlives the hash that lives in it.
    std::vector<unsigned char> object;
    object.resize(hashObjectSize(provider.get()));
    std::vector<unsigned char> digest(SHA256_SIZE);

    BCRYPT_HASH_HANDLE created = nullptr;
    NTSTATUS status = BCryptCreateHash(provider.get(), &created, object.empty() ? nullptr : object.data(),
                                       static_cast<ULONG>(object.size()), nullptr, 0, 0);
    requireCode(status == 0, static_cast<unsigned long>(status), "Hash package");
    const UniqueHash hash(created);
    hashData(hash.get(), bytes, length);
    status = BCryptFinishHash(hash.get(), digest.data(), SHA256_SIZE, 0);
    requireCode(status == 0, static_cast<unsigned long>(status), "Hash package");
    return digest;
}

std::string digestText(const std::vector<unsigned char>& digest)
{
    static constexpr char HEX[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * digest.size());
    for (const unsigned char byte : digest) {
        text += HEX[byte >> 4];
        text += HEX[byte & 0x0F];
    }
    return text;
}
