#pragma once

// Builds package images for tests, including images that lie about themselves. Header-only and
// free of Windows headers, so that the native fuzzing seed generator can use it too.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct TestFile {
    std::string name;
    std::string data;
    std::optional<std::uint32_t> storedNameLength = {}; // written instead of name.size()
    std::optional<std::uint64_t> storedDataLength = {}; // written instead of data.size()
};

inline void appendLittleEndian(std::vector<unsigned char>& image, std::uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        image.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

// The digest field is filled with the entry's index in every byte: the parser does not check
// digests, and the tests can tell whose digest a pointer points at.
inline std::vector<unsigned char> buildTestPackage(const std::vector<TestFile>& files,
                                               std::optional<std::uint32_t> storedCount = std::nullopt)
{
    std::vector<unsigned char> image = {'Q', 'M', 'P', 'A', 'C', 'K', '1', 0};
    appendLittleEndian(image, storedCount.value_or(static_cast<std::uint32_t>(files.size())), 4);
    for (std::size_t index = 0; index < files.size(); ++index) {
        const TestFile& file = files[index];
        appendLittleEndian(image, file.storedNameLength.value_or(static_cast<std::uint32_t>(file.name.size())), 4);
        appendLittleEndian(image, file.storedDataLength.value_or(file.data.size()), 8);
        image.insert(image.end(), 32, static_cast<unsigned char>(index));
        image.insert(image.end(), file.name.begin(), file.name.end());
        image.insert(image.end(), file.data.begin(), file.data.end());
    }
    return image;
}
