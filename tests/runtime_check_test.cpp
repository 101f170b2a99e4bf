#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/folders.h"
#include "engine/runtime_check.h"
#include "tests/support/failures.h"
#include "tests/support/sample_switches.h"
#include "tests/support/shim.h"

namespace fs = std::filesystem;

namespace {

constexpr char RUNTIME_REFUSED[] =
    "The bundled runtime could not start. Check Windows version and available security software logs.";

// The sample console where the installer puts it: under Program Files, a path with blanks.
class RuntimeCheck : public testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(appDir());
        fs::copy(fs::path(L"Z:" QM_SAMPLE_CONSOLE_DIR), appDir(), fs::copy_options::recursive);
    }
};

} // namespace

TEST_F(RuntimeCheck, PassesWhenTheBundledRuntimeLoadsTheBackend)
{
    // The shim records how long the interpreter was given; the sample needs a fraction of it.
    loadShim("record WaitForSingleObject args=p,d\n");
    EXPECT_EQ(failureText([] { checkRuntime(appDir()); }), "(no failure)");
    const auto started = recordedFields("CreateProcessW", {"application"});
    const auto waits = readShimRecords("WaitForSingleObject");
    unloadShim();
    EXPECT_EQ(started,
              std::vector<std::string>{"application=C:\\Program Files\\Vostrel\\Quellmark Console\\runtime/python.exe"});
    ASSERT_FALSE(waits.empty());
    EXPECT_EQ(waits[0]["arg2"], "60000");
}

TEST_F(RuntimeCheck, RefusesARuntimeThatEndsWithAnError)
{
    setSampleSwitch(L"Runtime", L"ExitCode", 3);
    EXPECT_EQ(failureText([] { checkRuntime(appDir()); }), RUNTIME_REFUSED);
    clearSampleSwitches();
    fs::remove_all(appDir() / L"runtime/Lib/site-packages/cryptography");
    EXPECT_EQ(failureText([] { checkRuntime(appDir()); }), RUNTIME_REFUSED) << "a library missing";
}

TEST_F(RuntimeCheck, ReportsAnInterpreterThatCannotStart)
{
    fs::remove(appDir() / L"runtime/python.exe");
    EXPECT_THAT(failureText([] { checkRuntime(appDir()); }), testing::StartsWith("Run Windows helper ("));
}
