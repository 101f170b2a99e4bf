#include "package/extract.h"

#include <windows.h>

#include <cstring>
#include <stdexcept>
#include <utility>
#include <vector>

#include "common/failure.h"
#include "common/handles.h"
#include "common/text.h"
#include "package/guarded_files.h"
#include "package/hashing.h"
#include "package/long_paths.h"
#include "package/package_digest.h"
#include "package/parser.h"

namespace fs = std::filesystem;

namespace {

constexpr int PACKAGE_RESOURCE = 101;
constexpr unsigned long long PROGRESS_EVERY = 20;

struct Image {
    const unsigned char* bytes = nullptr;
    unsigned long long length = 0;
};

// The resource stays mapped until the process ends, so the image is never copied or released.
Image bundledImage()
{
    const HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(PACKAGE_RESOURCE), RT_RCDATA);
    require(resource != nullptr, "Locate bundled application");
    const HGLOBAL loaded = LoadResource(nullptr, resource);
    require(loaded != nullptr, "Read bundled application");
    const void* bytes = LockResource(loaded);
    require(bytes != nullptr, "Read bundled application");
    return {static_cast<const unsigned char*>(bytes), SizeofResource(nullptr, resource)};
}

void checkFileDigest(const Entry& entry)
{
    const std::vector<unsigned char> digest = sha256(entry.data, entry.size);
    if (std::memcmp(digest.data(), entry.digest, DIGEST_SIZE) != 0)
        throw std::runtime_error("Bundled file integrity check failed");
}

void writeNewFile(const fs::path& target, const Entry& entry)
{
    // CREATE_NEW: a file already there means the folder is not the fresh one it should be, and
    // it is neither overwritten nor shared while it is written. The \\?\ form lets a long name
    // below the application folder pass MAX_PATH.
    const UniqueHandle file(CreateFileW(extendedPath(target).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    require(file.get() != INVALID_HANDLE_VALUE, "Create application file");
    DWORD written = 0;
    // One call for the whole file; the parser allows at most 256 MiB, well inside a DWORD.
    const BOOL ok = WriteFile(file.get(), entry.data, static_cast<DWORD>(entry.size), &written, nullptr);
    // The failure is composed while the file is still open, so that it carries the write's error
    // code and not the close's; the owner closes the file as the failure leaves.
    require(ok && written == entry.size, "Write application file");
}

void extractEntry(const fs::path& root, const Entry& entry)
{
    checkFileDigest(entry);
    fs::path target = root / widen(entry.name);
    target.make_preferred();
    noReparse(target);
    createFolders(target.parent_path());
    writeNewFile(target, entry);
}

} // namespace

void extractImage(const unsigned char* image, unsigned long long length, const std::string& expectedDigest,
                  const fs::path& root, Progress progress)
{
    if (digestText(sha256(image, length)) != expectedDigest)
        throw std::runtime_error("Installer integrity check failed. Download a fresh copy.");
    const std::vector<Entry> entries = parsePayload(image, length);
    const unsigned long long total = entries.size();
    unsigned long long written = 0;
    for (const Entry& entry : entries) {
        extractEntry(root, entry);
        ++written;
        if (written % PROGRESS_EVERY == 0)
            progress(static_cast<int>(10 + 55 * written / total), L"Installing application files...");
    }
}

void extractPayload(const fs::path& root, Progress progress)
{
    const Image image = bundledImage();
    extractImage(image.bytes, image.length, PACKAGE_DIGEST, root, std::move(progress));
}
