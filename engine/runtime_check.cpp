#include "engine/runtime_check.h"

#include <stdexcept>

#include "common/text.h"
#include "engine/helper_process.h"

namespace {

constexpr wchar_t PROBE[] = L"import sys; sys.path.insert(0, sys.argv[1]); "
                            L"import fastapi,uvicorn,cryptography; from app.web import app";
constexpr DWORD PROBE_TIMEOUT_MS = 60000;

} // namespace

std::wstring runtimeProbeArguments(const std::filesystem::path& backend)
{
    return L"-I -B -c " + quote(PROBE) + L" " + quote(backend.wstring());
}

void checkRuntime(const std::filesystem::path& application)
{
    // Forward slashes as written: Windows takes them as separators, the interpreter as well.
    const std::filesystem::path interpreter = application / L"runtime/python.exe";
    const std::filesystem::path backend = application / L"server/backend";
    if (command(interpreter, runtimeProbeArguments(backend), PROBE_TIMEOUT_MS) != 0)
        throw std::runtime_error(
            "The bundled runtime could not start. Check Windows version and available security software logs.");
}
