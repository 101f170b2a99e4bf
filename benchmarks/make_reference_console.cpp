// make_reference_console <sample folder> <output folder>
//
// Writes a console folder of the reference size, the size that setup's speed figures are
// measured on: 734 files, 80,000,000 bytes. It starts from a copy of the sample console, so that
// an installation of the result runs for real, and adds generated files with the spread of a
// real console: a few runtime libraries of several MB, dozens of medium files and hundreds of
// small sources. Names and contents come from fixed seeds, so every run writes the same bytes.
// The output folder is emptied first.

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr size_t FILE_COUNT = 734;
constexpr uint64_t TOTAL_BYTES = 80000000;
constexpr uint64_t SEED = 0x51554C4D41524B31; // fixed: the reference never changes by accident

struct PlannedFile {
    std::string name; // relative, with forward slashes
    uint64_t size = 0;
    bool binary = false;
};

// A group of generated files: count files named prefix + number + extension, sized between
// smallest and largest on a logarithmic scale (so that small files are the many).
struct Group {
    const char* prefix;
    const char* extension;
    size_t count;
    uint64_t smallest;
    uint64_t largest;
    bool binary;
};

const Group GROUPS[] = {
    {"runtime/DLLs/_ext", ".pyd", 36, 24 * 1024, 1400 * 1024, true},
    {"runtime/Lib/site-packages/fastapi/routing_", ".py", 40, 400, 48 * 1024, false},
    {"runtime/Lib/site-packages/uvicorn/protocol_", ".py", 30, 400, 40 * 1024, false},
    {"runtime/Lib/site-packages/cryptography/hazmat/primitive_", ".py", 40, 300, 36 * 1024, false},
    {"server/backend/app/routers/router_", ".py", 36, 600, 24 * 1024, false},
    {"server/backend/app/models/model_", ".py", 24, 400, 16 * 1024, false},
    {"server/frontend/assets/chunk-", ".js", 60, 2 * 1024, 420 * 1024, false},
    {"server/frontend/assets/style-", ".css", 10, 1024, 96 * 1024, false},
    {"server/frontend/assets/img/icon-", ".png", 40, 600, 80 * 1024, true},
    {"server/frontend/assets/fonts/face-", ".woff2", 8, 18 * 1024, 110 * 1024, true},
    {"docs/topic-", ".md", 20, 800, 30 * 1024, false},
};

// The large runtime libraries take what is left of the total, split by these weights.
const char* const LARGE_FILES[] = {"runtime/bin/core-runtime.dll", "runtime/bin/crypto-backend.dll",
                                   "runtime/bin/tls-backend.dll", "runtime/DLLs/_web_accel.pyd",
                                   "runtime/Lib/site-packages/cryptography/hazmat/bindings/_native.pyd",
                                   "server/frontend/assets/vendor.js"};
const unsigned LARGE_WEIGHTS[] = {9, 7, 5, 4, 6, 3};

uint64_t splitmix(uint64_t& state)
{
    uint64_t z = (state += 0x9E3779B97F4A7C15);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
    return z ^ (z >> 31);
}

// Each file's stream depends on its name only, not on the order in which files are written.
uint64_t seedFor(const std::string& name)
{
    uint64_t hash = 0xCBF29CE484222325;
    for (const char c : name)
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001B3;
    return hash ^ SEED;
}

uint64_t logUniform(uint64_t& state, uint64_t smallest, uint64_t largest)
{
    const double unit = static_cast<double>(splitmix(state) >> 11) / 9007199254740992.0;
    return static_cast<uint64_t>(std::exp(std::log(double(smallest)) + unit * (std::log(double(largest)) - std::log(double(smallest)))));
}

std::string folded(std::string name)
{
    for (char& c : name)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 0x20);
    return name;
}

// The package's name rules, checked here so that a change to the plan cannot produce a folder
// that the packer refuses only much later.
bool componentAllowed(const std::string& component)
{
    if (component.empty() || component == "." || component == ".." || component.back() == '.' || component.back() == ' ')
        return false;
    const std::string stem = folded(component.substr(0, component.find('.')));
    if (stem == "con" || stem == "prn" || stem == "aux" || stem == "nul")
        return false;
    if (stem.size() == 4 && (stem.rfind("com", 0) == 0 || stem.rfind("lpt", 0) == 0) && stem[3] >= '1' && stem[3] <= '9')
        return false;
    for (const char c : component)
        if (c < 0x20 || c > 0x7E || std::string("\\:*?\"<>|").find(c) != std::string::npos)
            return false;
    return true;
}

bool nameAllowed(const std::string& name)
{
    if (name.empty() || name.size() > 240)
        return false;
    size_t start = 0;
    while (true) {
        const size_t slash = name.find('/', start);
        if (!componentAllowed(name.substr(start, slash - start)))
            return false;
        if (slash == std::string::npos)
            return true;
        start = slash + 1;
    }
}

} // namespace

namespace {

void addGroup(std::vector<PlannedFile>& plan, const Group& group, uint64_t& state)
{
    for (size_t i = 1; i <= group.count; ++i) {
        char number[16];
        std::snprintf(number, sizeof number, "%03zu", i);
        plan.push_back({std::string(group.prefix) + number + group.extension,
                        logUniform(state, group.smallest, group.largest), group.binary});
    }
}

// Small library sources, 25 to a package folder, fill the count up to FILE_COUNT.
void addLibrarySources(std::vector<PlannedFile>& plan, size_t count, uint64_t& state)
{
    for (size_t i = 0; i < count; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "runtime/Lib/pkg%02zu/module_%03zu.py", i / 25, i % 25);
        plan.push_back({name, logUniform(state, 200, 60 * 1024), false});
    }
}

void addLargeFiles(std::vector<PlannedFile>& plan, uint64_t bytesLeft)
{
    unsigned weights = 0;
    for (const unsigned weight : LARGE_WEIGHTS)
        weights += weight;
    uint64_t given = 0;
    for (size_t i = 0; i < std::size(LARGE_FILES); ++i) {
        // The last one takes the rounding, so that the total comes out exact.
        const uint64_t size = i + 1 < std::size(LARGE_FILES) ? bytesLeft * LARGE_WEIGHTS[i] / weights : bytesLeft - given;
        if (size < 2 * 1024 * 1024)
            throw std::runtime_error("the sample and the generated small files leave too little room for the large files");
        plan.push_back({LARGE_FILES[i], size, true});
        given += size;
    }
}

std::vector<PlannedFile> planGenerated(size_t count, uint64_t bytes)
{
    uint64_t state = SEED;
    std::vector<PlannedFile> plan;
    for (const Group& group : GROUPS)
        addGroup(plan, group, state);
    if (plan.size() + std::size(LARGE_FILES) > count)
        throw std::runtime_error("the sample console has too many files for the reference count");
    addLibrarySources(plan, count - plan.size() - std::size(LARGE_FILES), state);
    uint64_t planned = 0;
    for (const PlannedFile& file : plan)
        planned += file.size;
    if (planned >= bytes)
        throw std::runtime_error("the sample and the small files exceed the reference size");
    addLargeFiles(plan, bytes - planned);
    return plan;
}

std::vector<PlannedFile> copySample(const fs::path& sample, const fs::path& output)
{
    std::vector<PlannedFile> copied;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(sample)) {
        if (!entry.is_regular_file())
            continue;
        const fs::path relative = entry.path().lexically_relative(sample);
        fs::create_directories((output / relative).parent_path());
        fs::copy_file(entry.path(), output / relative);
        copied.push_back({relative.generic_string(), entry.file_size(), true});
    }
    if (copied.empty())
        throw std::runtime_error("the sample console folder holds no files");
    return copied;
}

// Source-like lines for text files, so that they look and compress like text; random bytes otherwise.
void fill(std::string& buffer, size_t length, bool binary, uint64_t& state)
{
    static const char* const WORDS[] = {"def", "return", "self", "request", "value", "import", "from", "class",
                                        "async", "await", "None", "config", "handler", "response", "=", "(", ")",
                                        "+", "if", "else", "for", "in", "status", "token", "path", "data"};
    buffer.clear();
    while (buffer.size() < length) {
        const uint64_t random = splitmix(state);
        if (binary) {
            buffer.append(reinterpret_cast<const char*>(&random), sizeof random);
        } else {
            buffer += WORDS[random % std::size(WORDS)];
            buffer += (random >> 32) % 9 == 0 ? "\n" : " ";
        }
    }
    buffer.resize(length);
}

void writeFile(const fs::path& output, const PlannedFile& file)
{
    const fs::path path = output / fs::path(file.name);
    fs::create_directories(path.parent_path());
    std::ofstream stream(path, std::ios::binary | std::ios::trunc);
    uint64_t state = seedFor(file.name);
    std::string chunk;
    for (uint64_t written = 0; written < file.size;) {
        const size_t length = static_cast<size_t>(std::min<uint64_t>(file.size - written, 1 << 20));
        fill(chunk, length, file.binary, state);
        stream.write(chunk.data(), static_cast<std::streamsize>(length));
        written += length;
    }
    if (!stream.flush())
        throw std::runtime_error("cannot write " + file.name);
}

void checkNames(const std::vector<PlannedFile>& files)
{
    std::set<std::string> seen;
    for (const PlannedFile& file : files) {
        if (!nameAllowed(file.name))
            throw std::runtime_error("not a valid package name: " + file.name);
        if (!seen.insert(folded(file.name)).second)
            throw std::runtime_error("two files named " + file.name);
    }
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        std::fputs("usage: make_reference_console <sample console folder> <output folder>\n", stderr);
        return 2;
    }
    try {
        const fs::path sample = argv[1];
        const fs::path output = argv[2];
        fs::remove_all(output);
        fs::create_directories(output);
        std::vector<PlannedFile> files = copySample(sample, output);
        uint64_t sampleBytes = 0;
        for (const PlannedFile& file : files)
            sampleBytes += file.size;
        const std::vector<PlannedFile> generated = planGenerated(FILE_COUNT - files.size(), TOTAL_BYTES - sampleBytes);
        files.insert(files.end(), generated.begin(), generated.end());
        checkNames(files);
        for (const PlannedFile& file : generated)
            writeFile(output, file);
        std::printf("%zu files, %llu bytes\n", files.size(), static_cast<unsigned long long>(TOTAL_BYTES));
        return 0;
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "make_reference_console: %s\n", failure.what());
        return 1;
    }
}
