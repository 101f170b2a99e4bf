// The sample console's service program, registered and run by the prefix's real Service
// Control Manager, the way setup installs it.

#include <winsock2.h>
#include <tlhelp32.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <vector>

#include "common/folders.h"
#include "common/handles.h"
#include "common/product.h"
#include "common/text.h"
#include "engine/health.h"
#include "tests/support/files.h"
#include "tests/support/http_get.h"
#include "tests/support/loopback_server.h"
#include "tests/support/processes.h"
#include "tests/support/sample_switches.h"
#include "tests/support/sockets.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

constexpr DWORD SERVICE_SPECIFIC_INVALID_PORT = 1;
constexpr DWORD SERVICE_SPECIFIC_CANNOT_LISTEN = 2;
constexpr DWORD SERVICE_SPECIFIC_EXIT_AT_START = 3;

void writeConsoleIni(const std::string& port)
{
    std::ofstream(appDir() / L"console.ini") << "[Console]\r\nPort=" << port << "\r\nFirewall=0\r\n";
}

class SampleService : public ::testing::Test {
protected:
    void SetUp() override
    {
        port = unusedLoopbackPort();
        fs::create_directories(appDir());
        fs::copy(testProgramFolder() / QM_SAMPLE_FOLDER, appDir(), fs::copy_options::recursive);
        writeConsoleIni(std::to_string(port));
        fs::create_directories(dataDir()); // as setup leaves it; the console adds "logs" itself
        manager.reset(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ASSERT_TRUE(manager) << GetLastError();
        const std::wstring program = quote((appDir() / L"QuellmarkConsoleService.exe").wstring());
        // Demand start and no arguments; the account that setup uses.
        service.reset(CreateServiceW(manager.get(), SERVICE_NAME, PRODUCT, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                     SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, program.c_str(), nullptr, nullptr,
                                     nullptr, L"NT AUTHORITY\\LocalService", nullptr));
        ASSERT_TRUE(service) << GetLastError();
    }

    void TearDown() override
    {
        clearSampleSwitches();
        if (!service)
            return;
        if (!killed && status().dwCurrentState != SERVICE_STOPPED) {
            SERVICE_STATUS reported{};
            if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &reported) || waitFor(SERVICE_STOPPED, 5000) < 0)
                kill();
        }
        DeleteService(service.get());
    }

    SERVICE_STATUS_PROCESS status()
    {
        SERVICE_STATUS_PROCESS current{};
        DWORD needed = 0;
        EXPECT_TRUE(QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&current),
                                         sizeof current, &needed)) << GetLastError();
        return current;
    }

    // Milliseconds until the service reached state, or -1 when it did not within timeoutMs.
    long long waitFor(DWORD state, DWORD timeoutMs)
    {
        const ULONGLONG start = GetTickCount64();
        while (status().dwCurrentState != state) {
            if (GetTickCount64() - start > timeoutMs)
                return -1;
            Sleep(20);
        }
        return static_cast<long long>(GetTickCount64() - start);
    }

    void start()
    {
        ASSERT_TRUE(StartServiceW(service.get(), 0, nullptr)) << GetLastError();
        ASSERT_GE(waitFor(SERVICE_RUNNING, 10000), 0) << "state " << status().dwCurrentState << ", log:\n" << log();
    }

    // Milliseconds from the stop control to SERVICE_STOPPED, or -1 after 15 s.
    long long stop()
    {
        SERVICE_STATUS reported{};
        EXPECT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &reported)) << GetLastError();
        return waitFor(SERVICE_STOPPED, 15000);
    }

    // Starts the service, which must stop on its own at once with the given service-specific
    // code and say why in its log.
    void expectStartFailure(DWORD code, const std::string& logged)
    {
        StartServiceW(service.get(), 0, nullptr); // may report the failure or leave it to the state below
        const long long stoppedMs = waitFor(SERVICE_STOPPED, 10000);
        ASSERT_GE(stoppedMs, 0);
        EXPECT_LT(stoppedMs, 3000);
        EXPECT_EQ(status().dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
        EXPECT_EQ(status().dwServiceSpecificExitCode, code);
        EXPECT_THAT(log(), HasSubstr(logged));
    }

    void kill()
    {
        const UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, status().dwProcessId));
        ASSERT_TRUE(process) << GetLastError();
        TerminateProcess(process.get(), 1);
        EXPECT_EQ(WaitForSingleObject(process.get(), 5000), WAIT_OBJECT_0);
        // Not waited for: Wine 8's service manager keeps a killed service's last state, where Windows reports it stopped.
        killed = true;
    }

    std::string log() { return readFile(dataDir() / L"logs" / L"console.log"); }

    unsigned port = 0;
    bool killed = false;
    UniqueService manager;
    UniqueService service;
};

} // namespace

TEST_F(SampleService, StartsAnswersLogsAndStops)
{
    start();
    const DWORD processId = status().dwProcessId;

    const HttpAnswer health = httpGet(port, "/api/v1/health");
    EXPECT_EQ(health.status, 200);
    EXPECT_THAT(health.body, HasSubstr("\"quellmark-controller\""));
    EXPECT_THAT(health.body, HasSubstr("\"0.2.61\""));
    EXPECT_THAT(health.head, HasSubstr("Content-Type: application/json\r\n"));
    EXPECT_THAT(health.head, HasSubstr("Connection: close\r\n"));
    const HttpAnswer page = httpGet(port, "/");
    EXPECT_EQ(page.status, 200);
    EXPECT_THAT(page.body, HasSubstr("sample console"));
    EXPECT_EQ(httpGet(port, "/api/v1/status").status, 404);
    EXPECT_EQ(httpGet(port, "/api/v1/health?verbose=1").status, 200) << "the query is not part of the path";

    const UniqueHandle process(OpenProcess(SYNCHRONIZE, FALSE, processId));
    const long long stopMs = stop();
    EXPECT_GE(stopMs, 0) << "still " << status().dwCurrentState;
    EXPECT_LT(stopMs, 5000);
    EXPECT_EQ(status().dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(WaitForSingleObject(process.get(), 5000), WAIT_OBJECT_0) << "the service process lingers after STOPPED";
    EXPECT_FALSE(httpGet(port, "/api/v1/health").connected) << "nothing listens after the stop";

    const std::string text = log();
    EXPECT_THAT(text, HasSubstr("Listening on 0.0.0.0:" + std::to_string(port) + "\r\n"));
    EXPECT_THAT(text, HasSubstr("GET /api/v1/health 200\r\n"));
    EXPECT_THAT(text, HasSubstr("GET / 200\r\n"));
    EXPECT_THAT(text, HasSubstr("GET /api/v1/status 404\r\n"));
    EXPECT_THAT(text, HasSubstr("Stop requested\r\n"));
    EXPECT_THAT(text, HasSubstr(" Stopped\r\n"));
}

// The port is served by runtime\python.exe, the program that setup's firewall rule names: with it
// suspended nothing answers while the service runs on, and its end stops the service with an error
// that Windows restarts it for. (Wine 8's GetExtendedTcpTable names no owning process.)
TEST_F(SampleService, ServesFromTheRuntimeThatTheFirewallRuleNames)
{
    start();
    const UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more && entry.th32ParentProcessID != status().dwProcessId;)
        more = Process32NextW(snapshot.get(), &entry);
    EXPECT_EQ(std::wstring(entry.szExeFile), L"python.exe");
    const UniqueHandle runtime(OpenProcess(PROCESS_ALL_ACCESS, FALSE, entry.th32ProcessID));
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    using Suspension = LONG(WINAPI*)(HANDLE);
    reinterpret_cast<Suspension>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtSuspendProcess")))(runtime.get());
    EXPECT_EQ(httpGet(port, "/api/v1/health", 1000).status, 0);
    EXPECT_EQ(status().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    reinterpret_cast<Suspension>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtResumeProcess")))(runtime.get());
    EXPECT_EQ(httpGet(port, "/api/v1/health").status, 200);
    TerminateProcess(runtime.get(), 1);
    EXPECT_GE(waitFor(SERVICE_STOPPED, 5000), 0);
    EXPECT_EQ(status().dwServiceSpecificExitCode, 4u) << "SERVICE_FAILED";
}

TEST_F(SampleService, SatisfiesSetupsHealthProbeOnlyWhenHealthy)
{
    start();
    EXPECT_TRUE(health(port));
    setSampleSwitch(L"Health", L"WrongVersion", 1);
    EXPECT_FALSE(health(port));
    setSampleSwitch(L"Health", L"WrongVersion", 0);
    setSampleSwitch(L"Health", L"NoAnswer", 1);
    // Windows ends the probe with its 1 s receive time-out; Wine 8's WinHTTP ignores that time-out
    // while it waits for the response head, and the console's own close after 2 s ends it instead.
    const ULONGLONG asked = GetTickCount64();
    EXPECT_FALSE(health(port));
    EXPECT_LT(GetTickCount64() - asked, 4000u) << "a silent console stalls the probe";
    setSampleSwitch(L"Health", L"NoAnswer", 0);
    EXPECT_TRUE(health(port));
}

TEST_F(SampleService, AnswersWhileOtherClientsStallAndRefusesBadRequests)
{
    start();
    // Three clients that send half a request and then nothing each hold a connection thread,
    // which would wait 5 s for the rest if nothing cut it short.
    std::vector<std::future<HttpAnswer>> stalled;
    for (int i = 0; i < 3; ++i)
        stalled.push_back(std::async(std::launch::async, [this] { return httpExchange(port, "GET / HTTP/1.1\r\n", 10000); }));
    Sleep(300);
    const ULONGLONG asked = GetTickCount64();
    EXPECT_EQ(httpGet(port, "/api/v1/health").status, 200);
    EXPECT_LT(GetTickCount64() - asked, 1000u) << "a stalled client blocked the others";

    EXPECT_EQ(httpExchange(port, "NONSENSE\r\n\r\n").status, 400);
    const HttpAnswer post = httpExchange(port, "POST /api/v1/health HTTP/1.1\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(post.status, 405);
    EXPECT_THAT(post.head, HasSubstr("Allow: GET, HEAD\r\n"));
    EXPECT_EQ(httpExchange(port, "GET / HTTP/1.1\r\nX-Fill: " + std::string(20000, 'a')).status, 431);
    EXPECT_EQ(httpExchange(port, "GET / HTTP/1.1\r\nX-Fill: " + std::string(9000, 'a') + "\r\n\r\n").status, 431);
    EXPECT_EQ(httpExchange(port, "GET /\x01\x1b[2J\r\nforged HTTP/1.1\r\n\r\n").status, 400);
    EXPECT_EQ(httpExchange(port, "GET /\x01\x1b[2J HTTP/1.1\r\n\r\n").status, 404);
    EXPECT_EQ(httpGet(port, "/api/v1/health").status, 200) << "the console survived the bad requests";

    const long long stopMs = stop();
    EXPECT_GE(stopMs, 0);
    EXPECT_LT(stopMs, 2500) << "the stop waited for stalled clients";
    for (auto& client : stalled) {
        const HttpAnswer answer = client.get();
        EXPECT_TRUE(answer.connected);
        EXPECT_FALSE(answer.timedOut) << "the stop leaves a connection open";
        EXPECT_EQ(answer.status, 0) << "an incomplete request was answered";
    }
    const std::string text = log();
    EXPECT_THAT(text, HasSubstr("GET /??[2J 404\r\n")) << "control bytes are masked in the log";
    for (const char c : text)
        ASSERT_TRUE((c >= 0x20 && c <= 0x7E) || c == '\r' || c == '\n') << "raw byte " << int(c) << " in the log";
}

TEST_F(SampleService, StartsAgainOnTheSamePortRightAfterAStop)
{
    start();
    ASSERT_EQ(httpGet(port, "/api/v1/health").status, 200);
    ASSERT_GE(stop(), 0);
    start();
    EXPECT_EQ(httpGet(port, "/api/v1/health").status, 200);
}

TEST_F(SampleService, StopsAtOnceWithTheCodeOfWhatKeepsItFromStarting)
{
    setSampleSwitch(L"Service", L"ExitAtStart", 1);
    expectStartFailure(SERVICE_SPECIFIC_EXIT_AT_START, "Exiting at start (switches.ini)");
    EXPECT_FALSE(httpGet(port, "/api/v1/health").connected);
    clearSampleSwitches();

    writeConsoleIni("70000");
    expectStartFailure(SERVICE_SPECIFIC_INVALID_PORT, "Invalid port 70000 in console.ini");
    writeConsoleIni(std::to_string(port));

    SOCKET holder = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    const SocketGuard guard(&holder);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    ASSERT_EQ(bind(holder, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(holder, 1), 0);
    expectStartFailure(SERVICE_SPECIFIC_CANNOT_LISTEN,
                       "Cannot listen on 0.0.0.0:" + std::to_string(port) + " (Winsock error 10048)");
}

TEST_F(SampleService, RunsWithoutADataFolderAndCreatesNone)
{
    fs::remove_all(dataDir().parent_path());
    start();
    EXPECT_EQ(httpGet(port, "/api/v1/health").status, 200);
    EXPECT_GE(stop(), 0);
    EXPECT_FALSE(fs::exists(dataDir().parent_path())) << "the console made folders that belong to setup";
}

TEST_F(SampleService, WrongVersionSwitchChangesTheHealthAnswerAtTheNextRequest)
{
    start();
    setSampleSwitch(L"Health", L"WrongVersion", 1);
    const HttpAnswer wrong = httpGet(port, "/api/v1/health");
    EXPECT_EQ(wrong.status, 200);
    EXPECT_THAT(wrong.body, HasSubstr("\"quellmark-controller\""));
    EXPECT_THAT(wrong.body, HasSubstr("\"0.2.60\""));
    EXPECT_THAT(wrong.body, Not(HasSubstr("0.2.61")));
    setSampleSwitch(L"Health", L"WrongVersion", 0);
    EXPECT_THAT(httpGet(port, "/api/v1/health").body, HasSubstr("\"0.2.61\""));
}

TEST_F(SampleService, NoAnswerSwitchHoldsHealthRequestsUnanswered)
{
    setSampleSwitch(L"Health", L"NoAnswer", 1);
    start();
    const ULONGLONG asked = GetTickCount64();
    const HttpAnswer silent = httpGet(port, "/api/v1/health", 10000);
    const ULONGLONG heldMs = GetTickCount64() - asked;
    EXPECT_TRUE(silent.connected);
    EXPECT_FALSE(silent.timedOut);
    EXPECT_EQ(silent.status, 0);
    EXPECT_TRUE(silent.body.empty());
    EXPECT_GE(heldMs, 1500u) << "held past setup's 1 s receive time-out";
    EXPECT_LT(heldMs, 4000u) << "and then let go";
    EXPECT_EQ(httpGet(port, "/").status, 200) << "only the health endpoint is silent";
    EXPECT_THAT(log(), HasSubstr("/api/v1/health held without an answer (switches.ini)"));
}

TEST_F(SampleService, IgnoreStopSwitchLeavesItStopPending)
{
    start();
    setSampleSwitch(L"Service", L"IgnoreStop", 1);
    SERVICE_STATUS reported{};
    EXPECT_TRUE(ControlService(service.get(), SERVICE_CONTROL_STOP, &reported)) << GetLastError();
    EXPECT_EQ(waitFor(SERVICE_STOPPED, 5000), -1);
    EXPECT_EQ(status().dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_EQ(httpGet(port, "/api/v1/health").status, 200) << "it goes on serving";
    EXPECT_THAT(log(), HasSubstr("Stop requested; ignored (switches.ini)"));
    kill();
}
