// A whole cycle on the default port: install, uninstall keeping the data, install again over
// the kept data, uninstall with the data. Real service manager, registry, files and HTTP of the
// test's prefix; the shim only supplies the service recovery flag that Wine 8 refuses.

#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "common/folders.h"
#include "tests/support/headless.h"
#include "tests/support/installation.h"
#include "tests/support/links.h"
#include "tests/support/machine_snapshot.h"
#include "tests/support/owners.h"
#include "tests/support/services.h"
#include "tests/support/shim.h"

namespace fs = std::filesystem;
using testing::AllOf;
using testing::ElementsAre;
using testing::EndsWith;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::Not;
using testing::StartsWith;

namespace {

using Reports = std::vector<std::pair<int, std::string>>;

const std::string MAKER_FOLDER = "C:\\ProgramData\\Vostrel";

const Reports INSTALL_WITH_RULE = {{2, "Checking this computer..."},
                                   {70, "Checking bundled runtime..."},
                                   {80, "Registering and starting Windows Service..."},
                                   {90, "Allowing access on private and domain networks..."},
                                   {100, "Installation complete."}};

void expectInstalled(unsigned port, const std::string& settings)
{
    expectApplicationFiles(settings);
    EXPECT_EQ(readBytes(dataDir() / L"product.txt"), "QuellmarkConsoleData/1\n");
    EXPECT_TRUE(fs::is_directory(dataDir() / L"data"));
    EXPECT_EQ(readBytes(shortcuts() / L"Open Console.url"),
              "[InternetShortcut]\r\nURL=http://localhost:" + std::to_string(port) + "/\r\n");
    EXPECT_EQ(readBytes(shortcuts() / L"Installation manual.url"),
              "[InternetShortcut]\r\nURL=https://www.vostrel.com/manual/console/#windows-server\r\n");
    EXPECT_EQ(serviceState(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(healthAnswer(port), 200);
    EXPECT_EQ(uninstallValue(L"UninstallString"),
              L"\"C:\\Program Files\\Vostrel\\Quellmark Console\\Uninstall.exe\" --uninstall");
}

// What an installation over a kept data folder adds: everything but the data folder.
std::vector<std::string> footprintBesideTheData()
{
    std::vector<std::string> lines;
    for (const std::string& line : installationFootprint())
        if (line.find(MAKER_FOLDER) == std::string::npos)
            lines.push_back(line);
    return lines;
}

// Full control for the console's own service (NT SERVICE\QuellmarkConsole), none for LocalService.
const std::string SERVICE_ACE = "(A;OICI;FA;;;" + std::string(CONSOLE_ACCOUNT) + ")";

// What the data folder's list gives what is inside it: a folder, and a file.
const std::string FOLDER_INHERITS =
    "(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIID;FA;;;" + std::string(CONSOLE_ACCOUNT) + ")";
const std::string FILE_INHERITS = "(A;ID;FA;;;SY)(A;ID;FA;;;BA)(A;ID;FA;;;" + std::string(CONSOLE_ACCOUNT) + ")";
const fs::path ELSEWHERE = L"C:\\elsewhere";

} // namespace

// Install with the rule, uninstall keeping the data, install again over the kept data on
// another port, uninstall with the data: after each step the machine is what it should be.
TEST(InstallCycle, InstallsUninstallsAndReinstallsOverTheKeptData)
{
    writeBytes(ELSEWHERE / L"precious.txt", "not the data's");
    const MachineSnapshot clean = takeSnapshot();

    // Every folder of the data is created owned by Administrators, the maker's and the data
    // folder with their protected lists (only SYSTEM, Administrators and the console's own
    // account reach the data), "data" and "logs" inheriting the data folder's: under the "object
    // creator" owner policy they would otherwise belong to the administrator's own account. Wine
    // keeps no descriptors, so they are read on their way there.
    const HeadlessRun first = headlessInstall(8080, true, "record CreateDirectoryW args=ws,sa\n");
    ASSERT_EQ(first.exitCode, 0u) << first.output;
    std::vector<std::string> secured;
    for (const std::string& created : recordedFields("CreateDirectoryW", {"arg1", "arg2"}))
        if (!created.ends_with("arg2=(null)"))
            secured.push_back(created);
    EXPECT_EQ(secured, (std::vector<std::string>{
                           "arg1=\\\\?\\" + MAKER_FOLDER + " arg2=O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)",
                           "arg1=\\\\?\\" + DATA_FOLDER + " arg2=O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)" + SERVICE_ACE,
                           "arg1=\\\\?\\" + DATA_FOLDER + "\\data arg2=O:BA",
                           "arg1=\\\\?\\" + DATA_FOLDER + "\\logs arg2=O:BA"}));
    EXPECT_THAT(readShimRecords("GetSecurityInfo"), IsEmpty()) << "nothing was there to be adopted";
    EXPECT_EQ(first.reports, INSTALL_WITH_RULE);
    EXPECT_EQ(first.outcome, "done firewallAdded=1");
    expectInstalled(8080, "[Console]\r\nPort=8080\r\nFirewall=1\r\n");
    EXPECT_THAT(firewallCalls(), ElementsAre("Add Quellmark Console HTTP 8080"));
    EXPECT_EQ(changes(clean, takeSnapshot()), installationFootprint());

    const HeadlessRun kept = headlessUninstall(false);
    ASSERT_EQ(kept.exitCode, 0u) << kept.output;
    EXPECT_EQ(kept.reports, (Reports{{10, "Stopping Console safely..."},
                                     {55, "Removing application and shortcuts..."},
                                     {100, "Console removed. Your database and logs have been kept."}}));
    EXPECT_THAT(firewallCalls(), ElementsAre("Remove Quellmark Console HTTP"));
    EXPECT_EQ(changes(clean, takeSnapshot()), dataFolderFootprint());

    // Something of the user's in the kept folder must survive the next installation. The
    // console's own account may have made "data" again and own it, and may have put a link
    // (Linux-side) and a hard link to files elsewhere in it, which get nothing of its list.
    writeBytes(dataDir() / L"data" / L"accounts.db", "user data");
    makeDirectoryLink(dataDir() / L"data" / L"linked", ELSEWHERE);
    const fs::path hard = dataDir() / L"data" / L"hard.txt";
    ASSERT_TRUE(CreateHardLinkW(hard.c_str(), (ELSEWHERE / L"precious.txt").c_str(), nullptr));
    const MachineSnapshot keptData = takeSnapshot();
    const HeadlessRun second =
        headlessInstall(65535, false, ownerAnswer(CONSOLE_ACCOUNT, 5) + "record SetKernelObjectSecurity args=h,x,sd\n");
    // The folder's own list is protected (0x80000004), what is inside inherits (0x20000004).
    ASSERT_EQ(second.exitCode, 0u) << second.output;
    std::map<std::string, std::string> lists;
    for (const ShimRecord& set : readShimRecords("SetKernelObjectSecurity"))
        lists[set["arg1"]] = set["arg2"] + " " + set["arg3"];
    const std::string data = "\\\\?\\" + DATA_FOLDER;
    EXPECT_EQ(lists[data], "0x80000004 D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)" + SERVICE_ACE)
        << "the kept folder gets its list again";
    EXPECT_THAT(lists[data + "\\data"], AllOf(StartsWith("0x20000004"), EndsWith(FOLDER_INHERITS)))
        << "and it reaches what is inside";
    EXPECT_THAT(lists[data + "\\data\\accounts.db"], AllOf(StartsWith("0x20000004"), EndsWith(FILE_INHERITS)));
    EXPECT_FALSE(lists.contains(data + "\\data\\hard.txt"));
    for (const auto& [item, list] : lists)
        EXPECT_THAT(item, AllOf(StartsWith(data), Not(HasSubstr("linked")))) << list;
    removeLink(dataDir() / L"data" / L"linked");
    EXPECT_EQ(second.outcome, "done firewallAdded=0");
    EXPECT_EQ(second.reports.size(), 4u) << "no report 90 without the firewall";
    expectInstalled(65535, "[Console]\r\nPort=65535\r\nFirewall=0\r\n");
    EXPECT_EQ(readBytes(dataDir() / L"data" / L"accounts.db"), "user data");
    EXPECT_THAT(firewallCalls(), IsEmpty());
    EXPECT_EQ(changes(keptData, takeSnapshot(), {dataDir()}), footprintBesideTheData())
        << "only the marker is rewritten in the kept folder";

    const HeadlessRun removed = headlessUninstall(true);
    ASSERT_EQ(removed.exitCode, 0u) << removed.output;
    EXPECT_EQ(removed.reports, (Reports{{10, "Stopping Console safely..."},
                                        {55, "Removing application and shortcuts..."},
                                        {85, "Removing saved data..."},
                                        {100, "Console and its data have been removed."}}));
    EXPECT_THAT(firewallCalls(), IsEmpty()) << "the second installation added no rule";
    EXPECT_THAT(changes(clean, takeSnapshot()), IsEmpty());
}
