// The sample console's stand-in interpreter, run the way setup's runtime check runs it.

#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "common/folders.h"
#include "common/text.h"
#include "tests/support/processes.h"
#include "tests/support/sample_switches.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;

namespace {

const std::wstring PROBE =
    L"import sys; sys.path.insert(0, sys.argv[1]); import fastapi,uvicorn,cryptography; from app.web import app";

// The sample as setup leaves it, under Program Files: both paths have blanks in them.
fs::path install()
{
    fs::create_directories(appDir());
    fs::copy(testProgramFolder() / QM_SAMPLE_FOLDER, appDir(), fs::copy_options::recursive);
    return appDir();
}

ProcessResult runPython(const fs::path& console, const std::wstring& arguments, DWORD timeoutMs = 20000)
{
    return runProcess(console / L"runtime" / L"python.exe", arguments, timeoutMs);
}

ProcessResult runProbe(const fs::path& console, const fs::path& backend, DWORD timeoutMs = 20000)
{
    return runPython(console, L"-I -B -c " + quote(PROBE) + L" " + quote(backend.wstring()), timeoutMs);
}

// A refusal ends the interpreter with its exit code and one line of output.
void expectRefusal(const ProcessResult& result, DWORD exitCode, const std::string& text)
{
    EXPECT_EQ(result.exitCode, exitCode) << result.output;
    EXPECT_THAT(result.output, HasSubstr(text));
    EXPECT_EQ(std::count(result.output.begin(), result.output.end(), '\n'), 1) << result.output;
}

} // namespace

TEST(SampleRuntime, PassesTheProbeSilentlyInTheInstalledFolder)
{
    const fs::path console = install();
    const ProcessResult result = runProbe(console, console / L"server" / L"backend");
    EXPECT_EQ(result.exitCode, 0u) << result.output;
    EXPECT_EQ(result.output, "");
    EXPECT_FALSE(fs::exists(console / L"server" / L"backend" / L"app" / L"__pycache__"));
}

TEST(SampleRuntime, RefusesOtherProgramsAndCommandLines)
{
    const fs::path console = install();
    const std::wstring backend = quote((console / L"server" / L"backend").wstring());

    const struct {
        std::wstring arguments;
        DWORD exitCode;
        const char* line;
    } cases[] = {
        {L"-I -B -c " + quote(PROBE + L"; print(1)") + L" " + backend, 1, "SyntaxError"},
        {L"-B -I -c " + quote(PROBE) + L" " + backend, 2, "Unknown option: -B"},
        {L"-I -B -c " + quote(PROBE), 1, "IndexError: list index out of range"},
        {L"-I -B -c " + quote(PROBE) + L" " + backend + L" extra", 2, "usage: python.exe -I -B -c <program> <folder>"},
        {L"", 2, "usage:"},
    };
    for (const auto& test : cases)
        expectRefusal(runPython(console, test.arguments), test.exitCode, test.line);
}

TEST(SampleRuntime, NamesEachMissingLibrary)
{
    const fs::path console = install();
    const fs::path libraries = console / L"runtime" / L"Lib" / L"site-packages";
    for (const char* library : {"fastapi", "uvicorn", "cryptography"}) {
        const fs::path init = libraries / library / L"__init__.py";
        fs::rename(init, init.wstring() + L".away");
        expectRefusal(runProbe(console, console / L"server" / L"backend"), 1,
                      std::string("ModuleNotFoundError: No module named '") + library + "'\r\n");
        fs::rename(init.wstring() + L".away", init);
    }
}

TEST(SampleRuntime, NamesAMissingOrIncompleteBackend)
{
    const fs::path console = install();
    const fs::path backend = console / L"server" / L"backend";
    const fs::path web = backend / L"app" / L"web.py";

    fs::rename(web, backend / L"web.py.away");
    expectRefusal(runProbe(console, backend), 1, "ModuleNotFoundError: No module named 'app.web'\r\n");
    std::ofstream(web) << "from fastapi import FastAPI\napplication = FastAPI()\nif app == None:\n    pass\n";
    expectRefusal(runProbe(console, backend), 1, "ImportError: cannot import name 'app' from 'app.web'");
    expectRefusal(runProbe(console, console / L"server"), 1, "ModuleNotFoundError: No module named 'app'\r\n");
}

TEST(SampleRuntime, ExitCodeSwitchEndsItWithThatCode)
{
    const fs::path console = install();
    setSampleSwitch(L"Runtime", L"ExitCode", 3);
    expectRefusal(runProbe(console, console / L"server" / L"backend"), 3, "switches.ini");
}

TEST(SampleRuntime, HangSwitchKeepsItRunning)
{
    const fs::path console = install();
    setSampleSwitch(L"Runtime", L"Hang", 1);
    // runProcess kills a program that outlives its time limit and reports it with an exception.
    EXPECT_THROW(runProbe(console, console / L"server" / L"backend", 3000), std::runtime_error);
}
