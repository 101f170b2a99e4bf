// libFuzzer target for the package parser, built natively with AddressSanitizer and
// UndefinedBehaviorSanitizer by run.sh. Any refusal must be one of the parser's own messages, and
// any accepted image must hold only entries that tile it exactly and names that an independent
// reading of the name rules finds safe; anything else aborts.

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "package/parser.h"

namespace {

const std::set<std::string> MESSAGES = {
    "Invalid package header", "Invalid file count", "Truncated package", "Invalid package entry",
    "Truncated path", "Truncated file", "Duplicate package path", "Unsafe package path",
    "Unsafe package path character", "Invalid file path", "Trailing package data",
};

[[noreturn]] void fail(const char* what, const std::string& detail)
{
    std::fprintf(stderr, "parser_fuzz: %s: %s\n", what, detail.c_str());
    std::abort();
}

bool isDevice(std::string component)
{
    static const std::set<std::string> devices = {
        "con", "prn", "aux", "nul", "com1", "com2", "com3", "com4", "com5", "com6", "com7", "com8", "com9",
        "lpt1", "lpt2", "lpt3", "lpt4", "lpt5", "lpt6", "lpt7", "lpt8", "lpt9"};
    for (char& c : component)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string stem = component.substr(0, component.find('.'));
    while (!stem.empty() && stem.back() == ' ')
        stem.pop_back();
    return devices.count(stem) != 0;
}

// The name rules, written out again differently from the parser, as the oracle.
bool looksSafe(const std::string& name)
{
    if (name.empty() || name.front() == '/' || name.back() == '/' || name.find("//") != std::string::npos)
        return false;
    for (const char c : name)
        if (c < 0x20 || c > 0x7E || std::strchr("\\:*?\"<>|", c) != nullptr)
            return false;
    std::string rest = name + "/";
    for (std::size_t slash; (slash = rest.find('/')) != std::string::npos; rest.erase(0, slash + 1)) {
        const std::string component = rest.substr(0, slash);
        if (component == "." || component == ".." || component.back() == '.' || component.back() == ' ' ||
            isDevice(component))
            return false;
    }
    return true;
}

void checkAccepted(const unsigned char* data, std::size_t size, const std::vector<Entry>& entries)
{
    std::set<std::string> lowered;
    const unsigned char* at = data + PACKAGE_HEADER_SIZE;
    for (const Entry& entry : entries) {
        if (entry.digest != at + 12 || entry.name.size() < 1 || entry.name.size() > MAX_NAME_LENGTH ||
            std::memcmp(at + ENTRY_FIXED_SIZE, entry.name.data(), entry.name.size()) != 0 ||
            entry.data != at + ENTRY_FIXED_SIZE + entry.name.size() || entry.size > MAX_FILE_SIZE)
            fail("entry does not match the image", entry.name);
        if (!looksSafe(entry.name))
            fail("unsafe name accepted", entry.name);
        std::string low = entry.name;
        for (char& c : low)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (!lowered.insert(low).second)
            fail("duplicate name accepted", entry.name);
        at = entry.data + entry.size;
    }
    // No accepted name may be a folder of another: Windows cannot hold a file and a folder of
    // one name. Sorted, a name's folder would come right before the names below it.
    for (auto name = lowered.begin(); name != lowered.end(); ++name)
        for (auto below = std::next(name); below != lowered.end() && below->starts_with(*name); ++below)
            if ((*below)[name->size()] == '/')
                fail("a file named like a folder accepted", *name);
    if (at != data + size)
        fail("entries do not end where the image ends", std::to_string(size));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<Entry> entries;
    try {
        entries = parsePayload(data, size);
    } catch (const std::runtime_error& refusal) {
        if (MESSAGES.count(refusal.what()) == 0)
            fail("unknown refusal", refusal.what());
        return 0;
    }
    checkAccepted(data, size, entries);
    return 0;
}
