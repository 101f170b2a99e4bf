#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/folders.h"
#include "tests/support/failures.h"
#include "tests/support/http_get.h"
#include "tests/support/loopback_server.h"
#include "tests/support/sample_switches.h"
#include "tests/support/services.h"
#include "tests/support/shim.h"
#include "windows/service.h"

namespace fs = std::filesystem;

namespace {

bool existsService()
{
    return serviceRegistration() != ServiceRegistration::absent;
}

constexpr char STOP_REFUSED[] =
    "Console could not be stopped. Application and data were retained; retry uninstall after stopping its service.";

// The sample console where the installer puts it, with a free port.
class Service : public testing::Test {
protected:
    void SetUp() override
    {
        fs::create_directories(appDir());
        fs::copy(fs::path(L"Z:" QM_SAMPLE_CONSOLE_DIR), appDir(), fs::copy_options::recursive);
        port = unusedLoopbackPort();
        std::ofstream(appDir() / L"console.ini", std::ios::binary)
            << "[Console]\r\nPort=" << port << "\r\nFirewall=0\r\n";
        // Wine refuses the process-failure recovery flag; the shim stands in for Windows there
        // and records what was asked for.
        loadShim("record ControlService\nrecord QueryServiceStatusEx\nrecord OpenSCManagerW args=p,p,x\n"
                 "record OpenServiceW args=p,ws,x\nrecord CreateServiceW args=p,ws,ws,x\n");
    }
    void TearDown() override { unloadShim(); }

    void start()
    {
        const UniqueService service = openConsoleService(SERVICE_START);
        ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr));
        ASSERT_TRUE(waitForServiceState(SERVICE_RUNNING, 10000));
    }

    static size_t calls(const char* function) { return readShimRecords(function).size(); }

    unsigned port = 0;
};

} // namespace

TEST_F(Service, RegistersStoppedWithTheConsoleSettings)
{
    createService();
    EXPECT_EQ(recordedFields("OpenSCManagerW", {"arg3"}), (std::vector<std::string>{"arg3=0x2"}))
        << "SC_MANAGER_CREATE_SERVICE";
    EXPECT_EQ(recordedFields("CreateServiceW", {"arg4"}), (std::vector<std::string>{"arg4=0x10016"}))
        << "DELETE, SERVICE_START, SERVICE_QUERY_STATUS, SERVICE_CHANGE_CONFIG";
    const ServiceConfig config = consoleServiceConfig();
    EXPECT_EQ(config.binaryPath, L"\"C:\\Program Files\\Vostrel\\Quellmark Console\\QuellmarkConsoleService.exe\"");
    EXPECT_EQ(config.type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config.start, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config.errorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(config.account, L"NT AUTHORITY\\LocalService");
    EXPECT_EQ(config.displayName, L"Quellmark Console");
    EXPECT_EQ(config.dependencies, L"");

    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    ASSERT_TRUE(QueryServiceConfig2W(openConsoleService(SERVICE_QUERY_CONFIG).get(), SERVICE_CONFIG_DESCRIPTION,
                                     buffer.data(), static_cast<DWORD>(buffer.size()), &needed));
    EXPECT_EQ(std::wstring(reinterpret_cast<const SERVICE_DESCRIPTIONW*>(buffer.data())->lpDescription),
              L"Quellmark management Console and Agent HTTP API");

    // Wine cannot read failure actions back (QueryServiceConfig2W level 2 fails with 124), so
    // the recovery settings are checked in the shim's records of what was set.
    EXPECT_EQ(recordedFields("ChangeServiceConfig2W",
                             {"level", "actions", "reset", "reboot", "command", "flag", "sidType", "privileges"}),
              (std::vector<std::string>{"level=1", "level=2 actions=1/5000,1/15000,0/0 reset=86400 reboot= command=",
                                        "level=4 flag=1", "level=5 sidType=1",
                                        "level=6 privileges=SeChangeNotifyPrivilege,SeCreateGlobalPrivilege"}));
    EXPECT_EQ(serviceState(), static_cast<DWORD>(SERVICE_STOPPED)) << "registered, not started";
    // Its identity is derived as Windows derives "NT SERVICE\TrustedInstaller" from that name.
    EXPECT_EQ(serviceSid(L"trustedInstaller"), L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464");
}

TEST_F(Service, StartsAnswersAndIsStoppedAndRemoved)
{
    createService();
    EXPECT_TRUE(existsService());
    start();
    const HttpAnswer answer = httpGet(port, "/api/v1/health");
    EXPECT_EQ(answer.status, 200);
    EXPECT_NE(answer.body.find("quellmark-controller"), std::string::npos);

    const auto begun = std::chrono::steady_clock::now();
    EXPECT_TRUE(stopDeleteService()) << "gone";
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(10));
    EXPECT_FALSE(existsService());
    EXPECT_EQ(calls("ControlService"), 1u);
    EXPECT_FALSE(httpGet(port, "/api/v1/health", 1000).connected) << "the console no longer listens";
}

// A console may go on for a while after it has reported itself stopped, and keeps its program in
// use until its process has ended: the stop returns only then.
TEST_F(Service, AStopReturnsOnlyOnceTheServiceProcessHasEnded)
{
    setSampleSwitch(L"Service", L"LingerAfterStop", 3000);
    createService();
    start();
    const UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, consoleServiceStatus().dwProcessId));
    ASSERT_TRUE(process);
    stopDeleteService();
    EXPECT_EQ(WaitForSingleObject(process.get(), 0), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_FALSE(existsService());
}

TEST_F(Service, StopDeleteIsContentWhenNothingIsRegistered)
{
    const auto begun = std::chrono::steady_clock::now();
    EXPECT_EQ(failureText([] { stopDeleteService(); }), "(no failure)");
    EXPECT_LT(std::chrono::steady_clock::now() - begun, std::chrono::seconds(1));
    EXPECT_EQ(calls("ControlService"), 0u);
    EXPECT_EQ(calls("QueryServiceStatusEx"), 0u);
    EXPECT_FALSE(existsService());
    EXPECT_EQ(recordedFields("OpenSCManagerW", {"arg3"}), (std::vector<std::string>{"arg3=0x1", "arg3=0x1"}))
        << "SC_MANAGER_CONNECT";
    EXPECT_EQ(recordedFields("OpenServiceW", {"arg3"}), (std::vector<std::string>{"arg3=0x10024", "arg3=0x2"}))
        << "DELETE, SERVICE_STOP and SERVICE_QUERY_STATUS to remove; SERVICE_CHANGE_CONFIG to look";
}

TEST_F(Service, AStoppedServiceIsDeletedWithoutAStopControl)
{
    createService();
    stopDeleteService();
    EXPECT_FALSE(existsService());
    EXPECT_EQ(calls("ControlService"), 0u);
}

// Deleted while another program holds it open, as the Services console does, a service is only
// marked, until that program lets go; deleting it again (Windows answers 1072) is done already.
TEST_F(Service, AServiceHeldOpenElsewhereIsMarkedForDeletionUntilItIsLetGo)
{
    createService();
    UniqueService held = openConsoleService(SERVICE_QUERY_STATUS);
    EXPECT_FALSE(stopDeleteService()) << "not gone yet";
    EXPECT_EQ(serviceRegistration(), ServiceRegistration::markedForDeletion);
    EXPECT_EQ(failureText([] { stopDeleteService(); }), "(no failure)");
    held.reset();
    EXPECT_EQ(serviceRegistration(), ServiceRegistration::absent);
}

TEST_F(Service, AServiceThatIgnoresStopStaysRegisteredAfterAboutThirtySeconds)
{
    setSampleSwitch(L"Service", L"IgnoreStop", 1);
    createService();
    start();
    const size_t queriesBefore = calls("QueryServiceStatusEx"); // the test's own, while starting
    const auto begun = std::chrono::steady_clock::now();
    EXPECT_EQ(failureText([] { stopDeleteService(); }), STOP_REFUSED);
    const auto waited = std::chrono::steady_clock::now() - begun;
    EXPECT_GE(waited, std::chrono::seconds(29));
    EXPECT_LT(waited, std::chrono::seconds(45));
    EXPECT_EQ(calls("QueryServiceStatusEx") - queriesBefore, 62u)
        << "the first look, the look once its process is open, then 60 while waiting";
    EXPECT_TRUE(existsService());

    // Leave the prefix clean: end the stubborn process.
    const UniqueHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, consoleServiceStatus().dwProcessId));
    TerminateProcess(process.get(), 1);
}

TEST_F(Service, AStopRefusedAsNotActiveStillWaitsForTheStop)
{
    createService();
    start();
    // Error 1062 says the service stopped on its own just before the control; the shim gives that
    // answer while the service in fact keeps running, so the wait that follows runs out.
    unloadShim();
    loadShim("fail ControlService call=1 error=1062 return=0\nfast Sleep\nrecord QueryServiceStatusEx\n");
    EXPECT_EQ(failureText([] { stopDeleteService(); }), STOP_REFUSED);
    EXPECT_EQ(calls("QueryServiceStatusEx"), 62u)
        << "the first look, the look once its process is open, then 60 while waiting";
    EXPECT_EQ(recordedFields("Sleep", {"ms"}), std::vector<std::string>(60, "ms=500"));
    unloadShim();
    stopDeleteService();
    EXPECT_FALSE(existsService());
}

TEST_F(Service, AnExistingServiceOfThatNameIsLeftAsItWas)
{
    {
        const UniqueService manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
        const UniqueService other(CreateServiceW(manager.get(), L"QuellmarkConsole", L"Someone else",
                                                 SERVICE_QUERY_STATUS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                                 SERVICE_ERROR_IGNORE, L"C:\\other\\service.exe", nullptr, nullptr,
                                                 nullptr, nullptr, nullptr));
        ASSERT_TRUE(other);
    }
    const std::string text = failureText([] { createService(); });
    EXPECT_EQ(text.rfind("Create Console service (1073)", 0), 0u) << text;
    EXPECT_TRUE(readShimRecords("ChangeServiceConfig2W").empty()) << "nothing was configured";

    const ServiceConfig config = consoleServiceConfig();
    EXPECT_EQ(config.binaryPath, L"C:\\other\\service.exe");
    EXPECT_EQ(config.displayName, L"Someone else");
    EXPECT_EQ(config.start, static_cast<DWORD>(SERVICE_DEMAND_START));
}

TEST_F(Service, AFailedConfigurationStepLeavesNoService)
{
    const char* steps[] = {"Set service description (5)", "Configure service recovery (5)",
                           "Configure process-failure recovery (5)", "Set service identity (5)",
                           "Limit service privileges (5)"}; // by call
    for (int call = 1; call <= 5; ++call) {
        unloadShim();
        loadShim("fail ChangeServiceConfig2W call=" + std::to_string(call) + " error=5 return=0\n");
        EXPECT_THAT(failureText([] { createService(); }), testing::StartsWith(steps[call - 1]));
        EXPECT_FALSE(existsService()) << steps[call - 1];
    }
}

TEST_F(Service, ReportsWhatTheServiceManagerRefuses)
{
    unloadShim();
    loadShim("fail OpenServiceW call=1 error=5 return=0\n");
    EXPECT_EQ(failureText([] { existsService(); }).rfind("Check Console service (5)", 0), 0u)
        << "access denied is not the same as absent";
    EXPECT_EQ(failureText([] { stopDeleteService(); }), "(no failure)") << "the second call is not faulted";
    unloadShim();

    loadShim("fail OpenServiceW call=1 error=5 return=0\n");
    EXPECT_EQ(failureText([] { stopDeleteService(); }).rfind("Open Console service (5)", 0), 0u);
    unloadShim();

    loadShim("fail OpenSCManagerW from=1 error=5 return=0\n");
    EXPECT_EQ(failureText([] { existsService(); }).rfind("Open Windows services (5)", 0), 0u);
    EXPECT_EQ(failureText([] { createService(); }).rfind("Open service manager (5)", 0), 0u);
}
