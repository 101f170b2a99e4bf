#include "package/parser.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>
#include <stdexcept>

#include "package/names.h"

namespace {

[[noreturn]] void refuse(const char* message)
{
    throw std::runtime_error(message);
}

std::uint32_t littleEndian32(const unsigned char* bytes)
{
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// Every length test below compares what is left (length - position, never negative because
// position only moves past bytes that were there) with what is needed, so no sum can wrap.
std::uint32_t take32(const unsigned char* bytes, unsigned long long length, unsigned long long& position)
{
    if (length - position < 4)
        refuse("Truncated package");
    const std::uint32_t value = littleEndian32(bytes + position);
    position += 4;
    return value;
}

Entry readEntry(const unsigned char* bytes, unsigned long long length, unsigned long long& position,
                std::set<std::string>& folded)
{
    unsigned long long at = position;
    const std::uint32_t nameLength = take32(bytes, length, at);
    const std::uint64_t low = take32(bytes, length, at);
    const std::uint64_t high = take32(bytes, length, at);
    const std::uint64_t size = low | high << 32;
    if (nameLength < 1 || nameLength > MAX_NAME_LENGTH || length - at < DIGEST_SIZE || size > MAX_FILE_SIZE)
        refuse("Invalid package entry");
    const unsigned char* digest = bytes + at;
    at += DIGEST_SIZE;

    if (length - at < nameLength)
        refuse("Truncated path");
    std::string name(reinterpret_cast<const char*>(bytes + at), nameLength);
    at += nameLength;
    if (length - at < size)
        refuse("Truncated file");

    admitPackageName(folded, name);
    position = at + size;
    return Entry{std::move(name), digest, bytes + at, size};
}

} // namespace

std::vector<Entry> parsePayload(const unsigned char* bytes, unsigned long long length)
{
    // The length is judged before the magic is read, so an impossible length reads nothing.
    if (length < PACKAGE_HEADER_SIZE || length > MAX_PACKAGE_SIZE ||
        std::memcmp(bytes, PACKAGE_MAGIC, sizeof PACKAGE_MAGIC) != 0)
        refuse("Invalid package header");
    const std::uint32_t count = littleEndian32(bytes + 8);
    if (count == 0 || count > MAX_FILE_COUNT)
        refuse("Invalid file count");

    std::vector<Entry> entries;
    // A lying count must not make a tiny image reserve room for 30,000 entries.
    entries.reserve(std::min<unsigned long long>(count, (length - PACKAGE_HEADER_SIZE) / ENTRY_FIXED_SIZE));
    std::set<std::string> folded;
    unsigned long long position = PACKAGE_HEADER_SIZE;
    for (std::uint32_t i = 0; i < count; ++i)
        entries.push_back(readEntry(bytes, length, position, folded));
    if (position != length)
        refuse("Trailing package data");
    return entries;
}
