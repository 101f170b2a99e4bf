#include "engine/runtime_check.h"

#include <stdexcept>
#include <string>

#include "common/text.h"
#include "engine/helper_process.h"
#include "engine/setup_log.h"

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
    const HelperResult probe = command(interpreter, runtimeProbeArguments(backend), PROBE_TIMEOUT_MS);
    if (probe.exitCode == 0)
        return;
    // The message names no cause; the interpreter's own words go where the administrator looks next.
    logSetupEvent("The bundled runtime check ended with exit code " + std::to_string(probe.exitCode) +
                  (probe.output.empty() ? std::string(" and wrote nothing.") : ". It wrote:\n" + probe.output));
    throw std::runtime_error(
        "The bundled runtime could not start. Check Windows version and available security software logs.");
}
