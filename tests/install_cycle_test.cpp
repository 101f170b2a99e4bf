// A whole cycle on the default port: install, uninstall keeping the data, install again over
// the kept data, uninstall with the data. Real service manager, registry, files and HTTP of the
// test's prefix; the shim only supplies the service recovery flag that Wine 8 refuses.

#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/folders.h"
#include "common/text.h"
#include "tests/support/headless.h"
#include "tests/support/installation.h"
#include "tests/support/machine_snapshot.h"
#include "tests/support/shim.h"

namespace fs = std::filesystem;
using testing::ElementsAre;
using testing::IsEmpty;

namespace {

using Reports = std::vector<std::pair<int, std::string>>;

const Reports INSTALL_WITH_RULE = {{2, "Checking this computer..."},
                                   {70, "Checking bundled runtime..."},
                                   {80, "Registering and starting Windows Service..."},
                                   {90, "Allowing access on private and domain networks..."},
                                   {100, "Installation complete."}};

void expectInstalled(unsigned port, bool ruleAdded)
{
    expectApplicationFiles(port, ruleAdded);
    EXPECT_EQ(readBytes(dataDir() / L"product.txt"), "QuellmarkConsoleData/1\n");
    EXPECT_TRUE(fs::is_directory(dataDir() / L"data"));
    EXPECT_EQ(readBytes(shortcuts() / L"Open Console.url"),
              "[InternetShortcut]\r\nURL=http://localhost:" + std::to_string(port) + "/\r\n");
    EXPECT_EQ(readBytes(shortcuts() / L"Installation manual.url"),
              "[InternetShortcut]\r\nURL=https://www.vostrel.com/manual/console/#windows-server\r\n");
    EXPECT_EQ(serviceState(), SERVICE_RUNNING);
    EXPECT_EQ(healthAnswer(port), 200);
    EXPECT_EQ(uninstallValue(L"UninstallString"),
              L"\"C:\\Program Files\\Vostrel\\Quellmark Console\\Uninstall.exe\" --uninstall");
}

// What an installation over a kept data folder adds: everything but the data folder.
std::vector<std::string> footprintBesideTheData()
{
    std::vector<std::string> lines;
    const std::wstring data = dataDir().wstring();
    for (const std::string& line : installationFootprint())
        if (line.find(narrow(data.substr(0, data.rfind(L'\\')))) == std::string::npos)
            lines.push_back(line);
    return lines;
}

} // namespace

// Install with the rule, uninstall keeping the data, install again over the kept data on
// another port, uninstall with the data: after each step the machine is what it should be.
TEST(InstallCycle, InstallsUninstallsAndReinstallsOverTheKeptData)
{
    const MachineSnapshot clean = takeSnapshot();

    // Under the "object creator" owner policy, what an administrator creates belongs to the
    // administrator's own account (Wine keeps no owners: the shim reports that account, and any
    // owner set since).
    const HeadlessRun first = headlessInstall(8080, true,
                                              "record SetNamedSecurityInfoW args=ws,d,x,p,p,acl,p\n"
                                              "value GetNamedSecurityInfoW owner=S-1-5-21-1-2-3-500\n");
    ASSERT_EQ(first.exitCode, 0u) << first.output;
    // The two folders it made are given to Administrators, then protected: only SYSTEM,
    // Administrators and the console's own account, none of what ProgramData lets every user
    // read. (Wine does not keep a folder's list, so it is read on its way there.)
    const std::vector<ShimRecord> security = readShimRecords("SetNamedSecurityInfoW");
    ASSERT_EQ(security.size(), 3u);
    EXPECT_EQ(security[0]["arg1"], narrow(dataDir().parent_path().wstring()));
    EXPECT_EQ(security[0]["arg3"], "0x1") << "OWNER_SECURITY_INFORMATION";
    EXPECT_EQ(security[1]["arg1"], narrow(dataDir().wstring()));
    EXPECT_EQ(security[1]["arg3"], "0x1") << "OWNER_SECURITY_INFORMATION";
    EXPECT_EQ(security[2]["arg1"], narrow(dataDir().wstring()));
    EXPECT_EQ(security[2]["arg3"], "0x80000004") << "DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION";
    EXPECT_EQ(security[2]["arg6"], "D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;LS)");
    std::vector<std::string> owners;
    for (const ShimRecord& owner : readShimRecords("GetNamedSecurityInfoW"))
        owners.push_back(owner["object"] + " " + owner["owner"]);
    EXPECT_THAT(owners, ElementsAre(narrow(dataDir().parent_path().wstring()) + " S-1-5-32-544",
                                    narrow(dataDir().wstring()) + " S-1-5-32-544"));
    EXPECT_EQ(first.reports, INSTALL_WITH_RULE);
    EXPECT_EQ(first.outcome, "done firewallAdded=1");
    expectInstalled(8080, true);
    EXPECT_THAT(firewallCalls(), ElementsAre("Add Quellmark Console HTTP 8080"));
    EXPECT_EQ(changes(clean, takeSnapshot()), installationFootprint());

    const HeadlessRun kept = headlessUninstall(false);
    ASSERT_EQ(kept.exitCode, 0u) << kept.output;
    EXPECT_EQ(kept.reports, (Reports{{10, "Stopping Console safely..."},
                                     {55, "Removing application and shortcuts..."},
                                     {100, "Console removed. Your database and logs have been kept."}}));
    EXPECT_THAT(firewallCalls(), ElementsAre("Remove Quellmark Console HTTP"));
    EXPECT_EQ(changes(clean, takeSnapshot()), dataFolderFootprint());

    // Something of the user's in the kept folder must survive the next installation.
    writeBytes(dataDir() / L"data" / L"accounts.db", "user data");
    const MachineSnapshot keptData = takeSnapshot();
    const HeadlessRun second = headlessInstall(65535, false);
    ASSERT_EQ(second.exitCode, 0u) << second.output;
    EXPECT_EQ(second.outcome, "done firewallAdded=0");
    EXPECT_EQ(second.reports.size(), 4u) << "no report 90 without the firewall";
    expectInstalled(65535, false);
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
