#include <cstdio>
#include <exception>
#include <optional>
#include <string>

#include "common/text.h"
#include "tools/packer/commands.h"

namespace {

constexpr char USAGE[] =
    "usage:\n"
    "  qmpack pack <folder> <package-file> [<digest-source-file>]\n"
    "      <folder> is the console: it must hold QuellmarkConsoleService.exe at its root,\n"
    "      runtime/python.exe and at least one file below server/backend. The outputs must lie\n"
    "      outside it, in folders that exist.\n"
    "      Packs every file below <folder> into a QMPACK1 package, sorted by name, and writes the\n"
    "      C++ source that defines PACKAGE_DIGEST when <digest-source-file> is given. Empty\n"
    "      folders are not packed: the format holds files only. Symbolic links, junctions and\n"
    "      names that the wizard would refuse stop the packing. Outputs that already hold the\n"
    "      right content are not rewritten.\n"
    "  qmpack list <package-file>\n"
    "      Prints size, digest and name of every file, and a total.\n"
    "  qmpack verify <package-file> [<expected-digest>]\n"
    "      Checks every file's digest, prints the package digest and compares it with\n"
    "      <expected-digest> when given.\n";

int usage()
{
    std::fputs(USAGE, stderr);
    return 2;
}

// Failure texts that carry a system message end with its line break; the report is one line.
std::string oneLine(std::string text)
{
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

int run(int argc, wchar_t** argv)
{
    const std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"pack" && (argc == 4 || argc == 5))
        packFolder(argv[2], argv[3], argc == 5 ? argv[4] : L"");
    else if (command == L"list" && argc == 3)
        listPackage(argv[2]);
    else if (command == L"verify" && (argc == 3 || argc == 4))
        verifyPackage(argv[2], argc == 4 ? std::optional(narrow(argv[3])) : std::nullopt);
    else
        return usage();
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    try {
        return run(argc, argv);
    } catch (const std::exception& failure) {
        std::fflush(stdout);
        std::fprintf(stderr, "qmpack: %s\n", oneLine(failure.what()).c_str());
        return 1;
    }
}
