#include "tools/packer/commands.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "common/text.h"
#include "package/hashing.h"
#include "package/long_paths.h"
#include "package/names.h"
#include "package/parser.h"
#include "tools/packer/folder.h"
#include "tools/packer/image.h"

namespace {

std::string storedDigest(const Entry& entry)
{
    return digestText(std::vector<unsigned char>(entry.digest, entry.digest + DIGEST_SIZE));
}

// A digest given on the command line, in the lower-case form the wizard compares.
std::string normalDigest(const std::string& text)
{
    const bool hex = text.size() == 64 && std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    });
    if (!hex)
        throw std::runtime_error("The expected digest must be 64 hexadecimal characters");
    return foldName(text);
}

// Windows compares names without regard to letter case, and ".." or "/" must not hide that a path
// leads into the folder.
bool isInside(const std::filesystem::path& file, const std::filesystem::path& folder)
{
    const std::filesystem::path full = fullPath(file);
    auto part = full.begin();
    for (const std::filesystem::path& level : fullPath(folder)) {
        if (level.empty())
            continue; // the end of a folder given with a final separator
        if (part == full.end() || CompareStringOrdinal(part->c_str(), -1, level.c_str(), -1, TRUE) != CSTR_EQUAL)
            return false;
        ++part;
    }
    return true;
}

void refuseOutputInside(const std::filesystem::path& folder, const std::filesystem::path& output)
{
    if (!output.empty() && isInside(output, folder))
        throw std::runtime_error("Cannot write " + narrow(output.wstring()) + ": it lies inside the folder being packed");
}

// The parser's reason, and which file it is about.
std::vector<Entry> parsePackageFile(const std::filesystem::path& package, const std::vector<unsigned char>& image)
{
    try {
        return parsePayload(image.data(), image.size());
    } catch (const std::runtime_error& refusal) {
        throw std::runtime_error(std::string(refusal.what()) + " in " + narrow(package.wstring()));
    }
}

void report(const std::filesystem::path& file, bool written)
{
    std::printf("%s %s\n", written ? "wrote" : "unchanged", narrow(file.wstring()).c_str());
}

} // namespace

void packFolder(const std::filesystem::path& folder, const std::filesystem::path& package,
                const std::filesystem::path& digestFile)
{
    const auto started = std::chrono::steady_clock::now();
    refuseOutputInside(folder, package);
    refuseOutputInside(folder, digestFile);
    const std::vector<SourceFile> files = collectFiles(folder);
    const std::vector<unsigned char> image = buildPackage(files);
    // The wizard will parse this image; refusing it here costs a fraction of the packing time.
    parsePayload(image.data(), image.size());
    const std::string digest = digestText(sha256(image.data(), image.size()));
    report(package, writeIfChanged(package, image.data(), image.size()));
    if (!digestFile.empty()) {
        const std::string source = digestSource(digest);
        report(digestFile, writeIfChanged(digestFile, source.data(), source.size()));
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("packed %zu files, %zu bytes in %.2f s (%.0f MB/s)\npackage digest %s\n", files.size(),
                image.size(), seconds, static_cast<double>(image.size()) / 1e6 / std::max(seconds, 1e-6),
                digest.c_str());
}

void listPackage(const std::filesystem::path& package)
{
    const std::vector<unsigned char> image = readPackageFile(package);
    const std::vector<Entry> entries = parsePackageFile(package, image);
    unsigned long long total = 0;
    for (const Entry& entry : entries) {
        std::printf("%12llu %s %s\n", entry.size, storedDigest(entry).c_str(), entry.name.c_str());
        total += entry.size;
    }
    std::printf("%zu files, %llu bytes of file data, package %zu bytes\n", entries.size(), total, image.size());
}

void verifyPackage(const std::filesystem::path& package, const std::optional<std::string>& expected)
{
    const std::string wanted = expected ? normalDigest(*expected) : std::string();
    const std::vector<unsigned char> image = readPackageFile(package);
    const std::vector<Entry> entries = parsePackageFile(package, image);
    for (const Entry& entry : entries)
        if (digestText(sha256(entry.data, entry.size)) != storedDigest(entry))
            throw std::runtime_error("\"" + entry.name + "\" does not match its stored digest");
    const std::string digest = digestText(sha256(image.data(), image.size()));
    std::printf("%zu files match their digests\npackage digest %s\n", entries.size(), digest.c_str());
    if (!wanted.empty() && digest != wanted)
        throw std::runtime_error("The package digest " + digest + " differs from the expected " + wanted);
}
