// The sample console's stand-in for its Python interpreter. It runs exactly two programs: the
// probe with which setup proves that the runtime and the web backend load, judged from the files
// that a real interpreter would import, and the console's web server, which the service starts.
// Everything else is refused with one line on standard error, worded as the real interpreter
// words it where there is such a wording.

#include <winsock2.h>

#include <cstdio>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "common/folders.h"
#include "common/text.h"
#include "sample-console/runtime/server.h"
#include "sample-console/shared/log.h"
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

// The events that the service hands down: it sets the first to stop the server, the server sets
// the second once it listens.
bool serviceEvents(HANDLE& stop, HANDLE& ready)
{
    wchar_t text[64] = {};
    unsigned long long stopValue = 0, readyValue = 0;
    if (GetEnvironmentVariableW(SERVER_EVENTS_VARIABLE, text, 64) == 0 ||
        std::swscanf(text, L"%llu %llu", &stopValue, &readyValue) != 2)
        return false;
    stop = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(stopValue));
    ready = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(readyValue));
    return true;
}

int serveUntilStopped(unsigned port, HANDLE stop, HANDLE ready)
{
    const SOCKET listener = openListener(port);
    if (listener == INVALID_SOCKET) {
        logLine("Cannot listen on 0.0.0.0:" + std::to_string(port) + " (Winsock error " +
                std::to_string(WSAGetLastError()) + ")");
        return SERVER_CANNOT_LISTEN;
    }
    logLine("Listening on 0.0.0.0:" + std::to_string(port));
    SetEvent(ready);
    const int error = serve(listener, stop);
    closesocket(listener);
    if (error != 0)
        logLine("Listening failed (Winsock error " + std::to_string(error) + ")");
    return error != 0 ? EXIT_EXCEPTION : 0;
}

// python.exe -I -B -m uvicorn --app-dir <backend> --host 0.0.0.0 --port <port> app.web:app, as the
// service starts it: the backend must load as for the probe, then the console is served.
int runServer(const std::vector<std::wstring>& arguments)
{
    const std::vector<std::wstring> expected = {L"-I",      L"-B", L"-m",      L"uvicorn", L"--app-dir", L"",
                                                L"--host", L"0.0.0.0", L"--port", L"", L"app.web:app"};
    bool matches = arguments.size() == expected.size();
    for (size_t i = 0; matches && i < expected.size(); ++i)
        matches = expected[i].empty() || arguments[i] == expected[i];
    const unsigned port = matches ? static_cast<unsigned>(std::wcstoul(arguments[9].c_str(), nullptr, 10)) : 0;
    HANDLE stop = nullptr, ready = nullptr;
    if (port == 0 || port > 65535 || !serviceEvents(stop, ready))
        return fail(EXIT_USAGE, "usage: python.exe -I -B -m uvicorn --app-dir <folder> --host 0.0.0.0 --port <port> "
                                "app.web:app, started by the sample console's service");
    if (const int probe = runProbe(arguments[5]); probe != 0)
        return probe;
    WSADATA winsock{};
    if (WSAStartup(MAKEWORD(2, 2), &winsock) != 0)
        return fail(EXIT_EXCEPTION, "OSError: Winsock 2.2 is not available");
    const int code = serveUntilStopped(port, stop, ready);
    WSACleanup();
    return code;
}

int runCommandLine(const std::vector<std::wstring>& arguments)
{
    if (arguments.size() > 2 && arguments[2] == L"-m")
        return runServer(arguments);
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
