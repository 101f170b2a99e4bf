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
// "CON.txt" is refused while "console" and "com10" are ordinary names.
bool isDeviceName(const std::string& folded)
{
    const std::string stem = folded.substr(0, folded.find('.'));
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
    if (!folded.insert(foldName(name)).second)
        refuse("Duplicate package path");
    checkPackageName(name);
}
