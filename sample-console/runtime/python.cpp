// The sample console's stand-in for its Python interpreter. It runs exactly one program, the
// probe with which setup proves that the runtime and the web backend load, and judges it from
// the files that a real interpreter would import. Everything else is refused with one line on
// standard error, worded as the real interpreter words it where there is such a wording.

#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "common/folders.h"
#include "common/text.h"
#include "sample-console/shared/switches.h"

namespace fs = std::filesystem;

namespace {

constexpr wchar_t PROBE[] =
    L"import sys; sys.path.insert(0, sys.argv[1]); import fastapi,uvicorn,cryptography; from app.web import app";
constexpr int EXIT_EXCEPTION = 1; // an uncaught exception, as the interpreter ends then
constexpr int EXIT_USAGE = 2;     // a command line it does not understand

int fail(int code, const std::string& reason)
{
    std::fprintf(stderr, "%s\n", reason.c_str());
    return code;
}

// Where "import name" finds a package: the backend folder that the probe puts first, then the
// runtime's own library folders.
std::vector<fs::path> searchPath(const fs::path& backend)
{
    const fs::path home = exePath().parent_path();
    return {backend, home / L"Lib" / L"site-packages", home / L"Lib"};
}

bool importable(const std::vector<fs::path>& path, const std::wstring& package)
{
    for (const fs::path& folder : path)
        if (fs::is_regular_file(folder / package / L"__init__.py"))
            return true;
    return false;
}

// Whether the module's text binds the name at the start of a line, as "app = ..." does.
bool defines(const fs::path& module, const std::string& name)
{
    std::ifstream file(module);
    std::string line;
    while (std::getline(file, line)) {
        const size_t after = line.find_first_not_of(" \t", name.size());
        if (line.rfind(name, 0) == 0 && after != std::string::npos && line[after] == '=' && line[after + 1] != '=')
            return true;
    }
    return false;
}

int runProbe(const fs::path& backend)
{
    const std::vector<fs::path> path = searchPath(backend);
    for (const wchar_t* library : {L"fastapi", L"uvicorn", L"cryptography"})
        if (!importable(path, library))
            return fail(EXIT_EXCEPTION, "ModuleNotFoundError: No module named '" + narrow(library) + "'");
    if (!fs::is_directory(backend / L"app"))
        return fail(EXIT_EXCEPTION, "ModuleNotFoundError: No module named 'app'");
    const fs::path web = backend / L"app" / L"web.py";
    if (!fs::is_regular_file(web))
        return fail(EXIT_EXCEPTION, "ModuleNotFoundError: No module named 'app.web'");
    if (!defines(web, "app"))
        return fail(EXIT_EXCEPTION, "ImportError: cannot import name 'app' from 'app.web' (" + narrow(web.wstring()) + ")");
    return 0;
}

int runCommandLine(const std::vector<std::wstring>& arguments)
{
    const std::vector<std::wstring> options = {L"-I", L"-B", L"-c"};
    for (size_t i = 0; i < options.size(); ++i) {
        if (i >= arguments.size())
            return fail(EXIT_USAGE, "usage: python.exe -I -B -c <program> <folder> (the sample runtime runs nothing else)");
        if (arguments[i] != options[i])
            return fail(EXIT_USAGE, "Unknown option: " + narrow(arguments[i]) + " (the sample runtime takes exactly -I -B -c)");
    }
    if (arguments.size() < 4)
        return fail(EXIT_USAGE, "Argument expected for the -c option");
    if (arguments[3] != PROBE)
        return fail(EXIT_EXCEPTION, "SyntaxError: the sample runtime runs only the installation probe");
    if (arguments.size() < 5)
        return fail(EXIT_EXCEPTION, "IndexError: list index out of range");
    if (arguments.size() > 5)
        return fail(EXIT_USAGE, "usage: python.exe -I -B -c <program> <folder> (one folder, nothing after it)");
    return runProbe(arguments[4]);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    try {
        // The switches come first, so that they act whatever setup passes.
        if (readSwitch(L"Runtime", L"Hang") != 0)
            Sleep(INFINITE);
        if (const int code = readSwitch(L"Runtime", L"ExitCode"); code != 0)
            return fail(code, "The sample runtime exits with " + std::to_string(code) + " (switches.ini)");
        return runCommandLine(std::vector<std::wstring>(argv + 1, argv + argc));
    } catch (const std::exception& failure) {
        return fail(EXIT_EXCEPTION, std::string("SystemError: ") + failure.what());
    }
}
