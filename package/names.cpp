#include "package/names.h"

#include <stdexcept>
#include <string_view>

namespace {

constexpr std::string_view FORBIDDEN = "\\:*?\"<>|";

[[noreturn]] void refuse(const char* message)
{
    throw std::runtime_error(message);
}

// Windows opens a device instead of a file for these stems whatever extension follows, so
// "CON.txt" is refused while "console" and "com10" are ordinary names. It drops blanks at the
// end of the stem before it compares, so "nul .txt" is the null device too.
bool isDeviceName(const std::string& folded)
{
    std::string stem = folded.substr(0, folded.find('.'));
    stem.erase(stem.find_last_not_of(' ') + 1);
    if (stem.size() == 3)
        return stem == "con" || stem == "prn" || stem == "aux" || stem == "nul";
    return stem.size() == 4 && (stem.starts_with("com") || stem.starts_with("lpt")) && stem[3] >= '1' &&
           stem[3] <= '9';
}

void checkComponent(const std::string& component)
{
    if (component.empty() || component == "." || component == "..")
        refuse("Unsafe package path");
    // Windows drops a final dot or space, so such a component would name a different file.
    if (component.back() == '.' || component.back() == ' ')
        refuse("Unsafe package path");
    if (isDeviceName(foldName(component)))
        refuse("Unsafe package path");
    for (const char c : component) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte > 0x7E || FORBIDDEN.find(c) != std::string_view::npos)
            refuse("Unsafe package path character");
    }
}

} // namespace

std::string foldName(const std::string& name)
{
    std::string folded = name;
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + ('a' - 'A'));
    return folded;
}

void checkPackageName(const std::string& name)
{
    // A trailing slash ends the cutting without an empty last component; it is refused below
    // with its own message.
    std::string::size_type start = 0;
    for (;;) {
        const std::string::size_type slash = name.find('/', start);
        checkComponent(name.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos || slash + 1 == name.size())
            break;
        start = slash + 1;
    }
    if (!name.empty() && name.back() == '/')
        refuse("Invalid file path");
}

void admitPackageName(std::set<std::string>& folded, const std::string& name)
{
    const std::string key = foldName(name);
    if (!folded.insert(key).second)
        refuse("Duplicate package path");
    checkPackageName(name);
    // A file and a folder cannot share a path on Windows: "Runtime" beside "runtime/python.exe"
    // would stop the installation half-way. Folders are kept with a final slash, which no file
    // name has.
    if (folded.contains(key + '/'))
        refuse("Duplicate package path");
    for (std::string::size_type slash = key.find('/'); slash != std::string::npos; slash = key.find('/', slash + 1)) {
        if (folded.contains(key.substr(0, slash)))
            refuse("Duplicate package path");
        folded.insert(key.substr(0, slash + 1));
    }
}

bool namesClash(const std::string& first, const std::string& second)
{
    const std::string a = foldName(first);
    const std::string b = foldName(second);
    return a == b || a.starts_with(b + '/') || b.starts_with(a + '/');
}
