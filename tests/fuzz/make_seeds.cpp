// Writes a few valid packages as the fuzzer's starting corpus: make_seeds <folder>.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/package_builder.h"

namespace {

void writeSeed(const std::filesystem::path& folder, const char* name, const std::vector<TestFile>& files)
{
    const std::vector<unsigned char> image = buildTestPackage(files);
    std::ofstream out(folder / name, std::ios::binary);
    out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    if (!out)
        throw std::runtime_error(std::string("cannot write seed ") + name);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fputs("usage: make_seeds <folder>\n", stderr);
        return 2;
    }
    const std::filesystem::path folder = argv[1];
    std::filesystem::create_directories(folder);
    writeSeed(folder, "console", {{"QuellmarkConsoleService.exe", "MZ\x90"}, {"runtime/python.exe", "MZ"},
                                  {"server/backend/app/web.py", "app = None\n"}});
    writeSeed(folder, "empty-file", {{"empty.txt", ""}});
    writeSeed(folder, "near-misses", {{"com10", "1"}, {"auxiliary.md", "2"}, {"a b/c d", "3"},
                                      {"x.con/lpt0", "4"}, {"Lib/Foo.py", "5"}, {"lib/foo.pyc", "6"}});
    writeSeed(folder, "longest-name", {{std::string(120, 'a') + "/" + std::string(119, 'b'), "x"}});
    std::vector<TestFile> many;
    for (int i = 0; i < 40; ++i)
        many.push_back({"runtime/Lib/m" + std::to_string(i) + ".py", std::string(static_cast<std::size_t>(i), 'd')});
    writeSeed(folder, "many", many);
    return 0;
}
