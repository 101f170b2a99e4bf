#include "tools/packer/image.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "common/text.h"
#include "package/hashing.h"
#include "package/long_paths.h"
#include "package/parser.h"

namespace {

unsigned char* put(unsigned char* at, unsigned long long value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        *at++ = static_cast<unsigned char>(value >> (8 * i));
    return at;
}

void readInto(const SourceFile& file, unsigned char* at)
{
    // A name may be 240 bytes long below a folder whose own path is long.
    std::ifstream in(std::filesystem::path(extendedPath(file.path)), std::ios::binary);
    if (!in)
        throw std::runtime_error("Cannot read " + narrow(file.path.wstring()));
    in.read(reinterpret_cast<char*>(at), static_cast<std::streamsize>(file.size));
    const bool whole = static_cast<unsigned long long>(in.gcount()) == file.size;
    // Its size was taken when the folder was listed; a file that grew or shrank since then
    // would leave a package whose entry lengths lie.
    if (!whole || in.peek() != std::ifstream::traits_type::eof())
        throw std::runtime_error("Cannot pack \"" + file.name + "\": it changed while it was being packed");
}

// The user named the target, not the file beside it that is written first.
[[noreturn]] void refuseTarget(const std::filesystem::path& target)
{
    const std::filesystem::path folder = target.parent_path();
    std::error_code error;
    if (!folder.empty() && !std::filesystem::is_directory(folder, error))
        throw std::runtime_error("Cannot write " + narrow(target.wstring()) + ": the folder " + narrow(folder.wstring()) +
                                 " does not exist");
    throw std::runtime_error("Cannot write " + narrow(target.wstring()));
}

bool holds(const std::filesystem::path& target, const unsigned char* bytes, unsigned long long size)
{
    std::error_code error;
    if (std::filesystem::file_size(target, error) != size || error)
        return false;
    std::ifstream in(target, std::ios::binary);
    std::vector<char> chunk(1 << 20);
    for (unsigned long long done = 0; done < size;) {
        const auto wanted = static_cast<std::streamsize>(std::min<unsigned long long>(chunk.size(), size - done));
        if (!in.read(chunk.data(), wanted) || std::memcmp(chunk.data(), bytes + done, wanted) != 0)
            return false;
        done += wanted;
    }
    return true;
}

} // namespace

std::vector<unsigned char> buildPackage(const std::vector<SourceFile>& files)
{
    std::vector<unsigned char> image(packageSize(files));
    unsigned char* at = std::copy(std::begin(PACKAGE_MAGIC), std::end(PACKAGE_MAGIC), image.data());
    at = put(at, files.size(), 4);
    for (const SourceFile& file : files) {
        at = put(at, file.name.size(), 4);
        at = put(at, file.size, 8);
        unsigned char* digest = at;
        at = std::copy(file.name.begin(), file.name.end(), at + DIGEST_SIZE);
        readInto(file, at);
        const std::vector<unsigned char> fileDigest = sha256(at, file.size);
        std::copy(fileDigest.begin(), fileDigest.end(), digest);
        at += file.size;
    }
    return image;
}

std::string digestSource(const std::string& digest)
{
    return "#include \"package/package_digest.h\"\n"
           "\n"
           "const char PACKAGE_DIGEST[] = \"" + digest + "\";\n";
}

bool writeIfChanged(const std::filesystem::path& target, const void* bytes, unsigned long long size)
{
    if (holds(target, static_cast<const unsigned char*>(bytes), size))
        return false;
    // Written beside the target and then moved over it, so that a failed run never leaves a
    // half-written package that looks up to date.
    std::filesystem::path partial = target;
    partial += L".partial";
    std::error_code error;
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out.write(static_cast<const char*>(bytes), static_cast<std::streamsize>(size));
        out.close();
        if (!out) {
            std::filesystem::remove(partial, error); // whatever part was written is of no use
            refuseTarget(target);
        }
    }
    std::filesystem::rename(partial, target, error);
    if (error)
        throw std::runtime_error("Cannot write " + narrow(target.wstring()) + ": " + error.message());
    return true;
}

std::vector<unsigned char> readPackageFile(const std::filesystem::path& file)
{
    std::error_code error;
    const unsigned long long size = std::filesystem::file_size(file, error);
    if (error)
        throw std::runtime_error("Cannot read " + narrow(file.wstring()));
    if (size > MAX_PACKAGE_SIZE)
        throw std::runtime_error(narrow(file.wstring()) + " is larger than a package can be (512 MiB)");
    std::vector<unsigned char> bytes(size);
    std::ifstream in(file, std::ios::binary);
    if (!in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size)))
        throw std::runtime_error("Cannot read " + narrow(file.wstring()));
    return bytes;
}
