#include <winsock2.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/folders.h"
#include "common/handles.h"
#include "common/product.h"
#include "engine/preinstall_checks.h"
#include "tests/support/failures.h"
#include "tests/support/files.h"
#include "tests/support/links.h"
#include "tests/support/loopback_server.h"
#include "tests/support/machine_snapshot.h"
#include "tests/support/owners.h"
#include "tests/support/services.h"
#include "tests/support/shim.h"

namespace fs = std::filesystem;

namespace {

constexpr char ALREADY_INSTALLED[] =
    "Console is already installed or a previous installation needs cleanup. Uninstall Quellmark Console from "
    "Installed apps first, keeping its data. Agent is a separate product.";
constexpr char FOREIGN_DATA[] = "The data folder is not recognized as Quellmark Console. It will not be overwritten.";

constexpr char START_MENU_PRESENT[] =
    "The Quellmark Console Start menu folder already exists. Remove its old shortcuts before installing.";
constexpr char PORT_IN_USE[] = "The selected port is already in use. Choose a different port.";

// Another program listening on a port of all addresses.
struct PortHolder {
    PortHolder()
    {
        WSADATA winsock;
        WSAStartup(MAKEWORD(2, 2), &winsock);
        socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        int length = sizeof address;
        EXPECT_EQ(bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(listen(socket, 1), 0);
        getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~PortHolder()
    {
        closesocket(socket);
        WSACleanup();
    }
    SOCKET socket = INVALID_SOCKET;
    unsigned port = 0;
};

constexpr char REMAINS[] = "(passed, remains to clear)";

std::string checksFailure(unsigned port = unusedLoopbackPort())
{
    bool remains = false;
    const std::string text =
        failureText([port, &remains] { remains = preinstallChecks(port, [](int, const std::wstring&) {}); });
    return text != "(no failure)" ? text : remains ? REMAINS : "(passed)";
}

void registerThrowAwayService()
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    ASSERT_NE(manager, nullptr);
    SC_HANDLE service = CreateServiceW(manager, SERVICE_NAME, PRODUCT, SERVICE_QUERY_STATUS, SERVICE_WIN32_OWN_PROCESS,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, L"C:\\nowhere\\service.exe",
                                       nullptr, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(service, nullptr);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

} // namespace

TEST(PreinstallChecks, PassOnACleanComputerAndChangeNothing)
{
    const MachineSnapshot before = takeSnapshot();
    ASSERT_GT(before.files.size(), 10u);
    int reports = 0;
    preinstallChecks(unusedLoopbackPort(), [&](int percent, const std::wstring& status) {
        ++reports;
        EXPECT_EQ(percent, 2);
        EXPECT_EQ(status, L"Checking this computer...");
    });
    EXPECT_EQ(reports, 1);
    EXPECT_EQ(changes(before, takeSnapshot()), std::vector<std::string>{}) << "the checks must change nothing";
}

namespace {

enum class AppFolder { none, empty, marked, markerOnly, foreign, file };
enum class Listed { none, whole, withoutCommand, foreign };

void registerEntry(Listed entry)
{
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, UNINSTALL_KEY, 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    // Ours names this folder's uninstaller exactly; another version's or drive's names its own.
    const std::wstring command = entry == Listed::foreign
        ? L"\"D:\\Programs\\Quellmark Console\\Uninstall.exe\" --uninstall"
        : L"\"" + (appDir() / L"Uninstall.exe").wstring() + L"\" --uninstall";
    if (entry != Listed::withoutCommand)
        RegSetValueExW(key, L"UninstallString", 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                       static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
}

void arrange(AppFolder folder, Listed entry, bool service)
{
    if (folder == AppFolder::file)
        put(appDir(), "");
    else if (folder != AppFolder::none)
        fs::create_directories(appDir());
    if (folder == AppFolder::marked || folder == AppFolder::markerOnly)
        put(appDir() / L"product.txt", "QuellmarkConsoleApp/1\n");
    if (folder == AppFolder::marked || folder == AppFolder::foreign)
        put(appDir() / L"Uninstall.exe", "half a program");
    if (entry != Listed::none)
        registerEntry(entry);
    if (service)
        registerThrowAwayService();
}

void clearArrangement()
{
    fs::remove_all(appDir());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, UNINSTALL_KEY);
    if (const UniqueService service = openConsoleService(DELETE))
        DeleteService(service.get());
}

} // namespace

// What a run of ours stopped between two steps leaves (a marked folder without an entry, an entry
// whose folder is gone or empty, an empty folder) is cleared by the installation, as long as no
// service runs anything of it; every other trace of an earlier installation refuses. The
// checks only decide: what they find stays where it was.
TEST(PreinstallChecks, TellTheRemainsOfAStoppedRunFromAnInstallation)
{
    const struct {
        const char* name;
        AppFolder folder;
        Listed entry;
        bool service;
        const char* expected;
    } cases[] = {
        {"marked folder alone", AppFolder::marked, Listed::none, false, REMAINS},
        {"marked folder, entry without its command", AppFolder::marked, Listed::withoutCommand, false, REMAINS},
        {"entry alone", AppFolder::none, Listed::whole, false, REMAINS},
        {"empty folder and entry", AppFolder::empty, Listed::whole, false, REMAINS},
        {"empty folder alone", AppFolder::empty, Listed::none, false, REMAINS},
        // An uninstallation stopped between deleting the uninstaller and deleting the marker.
        {"marker alone and entry", AppFolder::markerOnly, Listed::whole, false, REMAINS},
        {"marked folder and entry", AppFolder::marked, Listed::whole, false, ALREADY_INSTALLED},
        {"empty folder and another version's entry", AppFolder::empty, Listed::foreign, false, ALREADY_INSTALLED},
        {"folder without our marker", AppFolder::foreign, Listed::none, false, ALREADY_INSTALLED},
        {"a file at the folder's path", AppFolder::file, Listed::none, false, ALREADY_INSTALLED},
        {"service alone", AppFolder::none, Listed::none, true, ALREADY_INSTALLED},
        {"empty folder and service", AppFolder::empty, Listed::none, true, ALREADY_INSTALLED},
        {"marked folder and service", AppFolder::marked, Listed::none, true, ALREADY_INSTALLED},
        {"entry and service", AppFolder::none, Listed::whole, true, ALREADY_INSTALLED},
    };
    for (const auto& row : cases) {
        arrange(row.folder, row.entry, row.service);
        const MachineSnapshot before = takeSnapshot();
        EXPECT_EQ(checksFailure(), row.expected) << row.name;
        EXPECT_EQ(takeSnapshot(), before) << row.name << ": the checks must change nothing";
        clearArrangement();
    }
}

// Deleted while the Services console held it open, a service stays marked for deletion until the
// console lets go; uninstalling again cannot help, so the refusal says what can.
TEST(PreinstallChecks, SayWhatHelpsWhileAnEarlierServiceIsStillBeingRemoved)
{
    registerThrowAwayService();
    const UniqueService held = openConsoleService(DELETE);
    ASSERT_TRUE(DeleteService(held.get()));
    EXPECT_EQ(checksFailure(), "The Quellmark Console service of an earlier installation is still being removed. "
                               "Close the Services console and any other program that shows Windows services, or "
                               "restart Windows, then try again.");
}

TEST(PreinstallChecks, RefuseAnExistingStartMenuFolder)
{
    fs::create_directories(shortcuts());
    EXPECT_EQ(checksFailure(), START_MENU_PRESENT);
    fs::create_directories(dataDir());
    EXPECT_EQ(checksFailure(), START_MENU_PRESENT) << "before a data folder without its marker";
}

TEST(PreinstallChecks, RefuseAPortThatIsInUse)
{
    unsigned port = 0;
    {
        const PortHolder holder;
        port = holder.port;
        EXPECT_EQ(checksFailure(port), PORT_IN_USE);
    }
    EXPECT_EQ(checksFailure(port), "(passed)") << "free again once released";
}

TEST(PreinstallChecks, RefuseALinkOnAnyOfTheThreeFolders)
{
    const fs::path elsewhere = L"C:\\elsewhere";
    fs::create_directories(elsewhere);
    const fs::path links[] = {appDir(), dataDir(), shortcuts()};
    for (const fs::path& link : links) {
        fs::create_directories(link.parent_path());
        makeDirectoryLink(link, elsewhere);
        EXPECT_EQ(checksFailure(), "Installation paths must not contain links or junctions") << link.string();
        removeLink(link);
    }
    fs::remove(appDir().parent_path());
    makeDirectoryLink(appDir().parent_path(), elsewhere);
    EXPECT_EQ(checksFailure(), "Installation paths must not contain links or junctions") << "the maker folder";
}

// The free space of the disk, and a network stack that will not start, come from the test shim.
class PreinstallChecksWithShim : public testing::Test {
protected:
    void TearDown() override { unloadShim(); }
};

// Wine keeps no owners: the shim reports Administrators, who own what an elevated setup creates.
TEST_F(PreinstallChecksWithShim, ReuseOnlyADataFolderWithTheExactMarker)
{
    loadShim("");
    fs::create_directories(dataDir());
    EXPECT_EQ(checksFailure(), "(passed)") << "a completely empty folder, left before its marker was written";
    put(dataDir() / L"notes.txt", "someone's");
    EXPECT_EQ(checksFailure(), FOREIGN_DATA) << "no marker";
    fs::remove(dataDir() / L"notes.txt");
    const fs::path marker = dataDir() / L"product.txt";
    put(marker, "QuellmarkConsoleData/1\r\n");
    EXPECT_EQ(checksFailure(), FOREIGN_DATA) << "CR LF";
    put(marker, "QuellmarkConsoleData/1");
    EXPECT_EQ(checksFailure(), FOREIGN_DATA) << "no final LF";
    put(marker, "QuellmarkConsoleApp/1\n");
    EXPECT_EQ(checksFailure(), FOREIGN_DATA) << "the application's marker";
    put(marker, "QuellmarkConsoleData/1\n");
    EXPECT_EQ(checksFailure(), "(passed)") << "the exact marker, nothing else in the folder";
}

TEST_F(PreinstallChecksWithShim, NeedAtLeast512MiBFreeOnTheProgramFilesVolume)
{
    loadShim("value GetDiskFreeSpaceExW free=536870911\n");
    EXPECT_EQ(checksFailure(), "At least 512 MB free disk space is required.");
    const auto asked = readShimRecords("GetDiskFreeSpaceExW");
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0]["folder"], "C:\\Program Files");
    unloadShim();

    loadShim("value GetDiskFreeSpaceExW free=536870912\nrecord setsockopt args=p,x,x\n");
    EXPECT_EQ(checksFailure(), "(passed)") << "exactly 512 MiB is enough";
    // Wine shares no port between sockets anyway; Windows would, without this option.
    const auto options = readShimRecords("setsockopt");
    ASSERT_EQ(options.size(), 1u);
    EXPECT_EQ(options[0]["arg2"], "0xFFFF") << "SOL_SOCKET";
    EXPECT_EQ(options[0]["arg3"], "0xFFFFFFFB") << "SO_EXCLUSIVEADDRUSE";
    unloadShim();

    const PortHolder holder;
    loadShim("value GetDiskFreeSpaceExW free=1\n");
    EXPECT_EQ(checksFailure(holder.port), PORT_IN_USE) << "the port is judged before the disk";
}

TEST_F(PreinstallChecksWithShim, ReportTheStepsThatCouldNotLook)
{
    loadShim("fail GetDiskFreeSpaceExW call=1 error=21 return=0\n");
    std::string text = checksFailure();
    EXPECT_EQ(text.rfind("Check disk space (21): ", 0), 0u) << text;
    unloadShim();

    loadShim("fail WSAStartup call=1 error=10091 return=10091\n");
    text = checksFailure(8080);
    EXPECT_EQ(text.rfind("Initialize network (10091)", 0), 0u) << text;
    unloadShim();

    loadShim("fail OpenSCManagerW call=1 error=5 return=0\n");
    put(appDir() / L"README.txt", "not ours");
    EXPECT_EQ(checksFailure(), ALREADY_INSTALLED) << "with a folder that is not ours there, the service is not asked";
    fs::remove_all(appDir());
    text = checksFailure();
    EXPECT_EQ(text.rfind("Open Windows services (5)", 0), 0u) << text;
    unloadShim();

    // An entry that cannot be read is never taken for no entry, which would make a marked folder
    // look like remains.
    loadShim("fail RegOpenKeyExW call=1 return=5\n");
    put(appDir() / L"product.txt", "QuellmarkConsoleApp/1\n");
    EXPECT_EQ(checksFailure(), "Check Installed Apps entry (5): Access denied.\r\n");
}

// ProgramData lets every user create folders, and owns what they create: a maker folder or a
// data folder made by someone else before the installation is refused, whoever it claims to be.
// Wine keeps no owners, so the shim answers them (by call: the maker folder, then the data folder).
TEST_F(PreinstallChecksWithShim, RefuseFoldersThatAnotherAccountOwns)
{
    const fs::path maker = dataDir().parent_path();
    const struct {
        bool dataFolder;
        std::string plan;
        std::string expected;
    } cases[] = {
        {false, ownerAnswer(ANOTHER_USER), ownedByAnotherAccount(maker)},
        {true, ownerAnswer(ANOTHER_USER, 2), ownedByAnotherAccount(dataDir())},
        // The console's own account may own "data" and "logs" inside, never the data folder itself.
        {true, ownerAnswer(CONSOLE_ACCOUNT, 2), ownedByAnotherAccount(dataDir())},
        {true, ownerAnswer("S-1-5-18"), "(passed)"},
        {true, ownerAnswer("S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"), "(passed)"},
        {true, ownerAnswer("S-1-5-32-544"), "(passed)"},
    };
    for (const auto& row : cases) {
        fs::remove_all(maker);
        fs::create_directories(maker);
        if (row.dataFolder)
            put(dataDir() / L"product.txt", "QuellmarkConsoleData/1\n");
        loadShim(row.plan);
        EXPECT_EQ(checksFailure(), row.expected) << row.plan;
        unloadShim();
    }
}
