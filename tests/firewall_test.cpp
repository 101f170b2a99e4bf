#include <windows.h>
#include <objbase.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "windows/firewall.h"
#include "tests/support/failures.h"
#include "tests/support/shim.h"
#include "tests/support/shim_fixtures.h"

// Wine's firewall objects accept every call and store nothing, so what the rule was given is
// read from the shim's records of the real objects' methods (tests/shim/README.md).

using testing::ElementsAre;
using testing::StartsWith;

namespace {

std::string firewallFailure(bool add, unsigned port)
{
    return failureText([=] { firewall(add, port); });
}

// What each rule setter received, by method name.
std::map<std::string, std::string> ruleProperties()
{
    std::map<std::string, std::string> properties;
    for (const ShimRecord& record : readShimRecords())
        if (record.function.rfind("INetFwRule::put_", 0) == 0)
            properties[record.function.substr(16)] = record["value"];
    return properties;
}

// The last count that Release returned for each object is 0 when every reference was released.
void expectAllReleased(const std::string& after)
{
    std::map<std::string, std::string> counts;
    for (const ShimRecord& record : readShimRecords())
        if (record.function.ends_with("::Release"))
            counts[record.function + " #" + record["object"]] = record["count"];
    for (const auto& [object, count] : counts)
        EXPECT_EQ(count, "0") << object << " was not fully released " << after;
}

// Runs work on a thread of its own, so that each call meets a thread without COM, as the
// installer's worker thread does; reports whether COM was left uninitialised afterwards.
template <typename Work>
bool onFreshThread(Work work)
{
    bool comReleased = false;
    std::thread([&] {
        work();
        const HRESULT again = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        comReleased = again == S_OK; // S_FALSE or a mode clash would mean COM was still initialised
        if (SUCCEEDED(again))
            CoUninitialize();
    }).join();
    return comReleased;
}

using Firewall = ShimUnloaded;

} // namespace

TEST_F(Firewall, AddsTheConsoleRuleWithEveryProperty)
{
    loadShim("");
    EXPECT_TRUE(onFreshThread([] { firewall(true, 8080); }));
    const std::map<std::string, std::string> expected = {
        {"Name", "Quellmark Console HTTP"},
        {"ApplicationName", "C:\\Program Files\\Vostrel\\Quellmark Console\\runtime\\python.exe"},
        {"Protocol", "6"},
        {"LocalPorts", "8080"},
        {"Direction", "1"},
        {"Profiles", "3"},
        {"Action", "1"},
        {"Enabled", "-1"},
    };
    EXPECT_EQ(ruleProperties(), expected);
    std::vector<std::string> order;
    for (const ShimRecord& record : readShimRecords())
        if (record.function.rfind("INetFwRule::put_", 0) == 0 || record.function == "INetFwRules::Add")
            order.push_back(record.function.substr(record.function.find("::") + 2));
    EXPECT_EQ(order, (std::vector<std::string>{"put_Name", "put_ApplicationName", "put_Protocol", "put_LocalPorts",
                                               "put_Direction", "put_Profiles", "put_Action", "put_Enabled", "Add"}));
    // CLSCTX_INPROC_SERVER only; the rule that was built is the one added.
    const auto created = readShimRecords("CoCreateInstance");
    ASSERT_THAT(recordedFields("CoCreateInstance", {"name", "context"}),
                ElementsAre("name=NetFwPolicy2 context=1", "name=NetFwRule context=1"));
    EXPECT_THAT(recordedFields("INetFwRules::Add", {"rule"}), ElementsAre("rule=" + created[1]["object"]));
    expectAllReleased("");
}

TEST_F(Firewall, WritesThePortInPlainDecimal)
{
    for (const unsigned port : {1u, 65535u, 1024u}) {
        loadShim("");
        onFreshThread([port] { firewall(true, port); });
        EXPECT_EQ(ruleProperties()["LocalPorts"], std::to_string(port));
        unloadShim();
    }
}

TEST_F(Firewall, RemovesTheRuleByName)
{
    loadShim("");
    EXPECT_TRUE(onFreshThread([] { firewall(false, 8080); }));
    EXPECT_THAT(recordedFields("INetFwRules::Remove", {"name"}), ElementsAre("name=Quellmark Console HTTP"));
    EXPECT_TRUE(ruleProperties().empty()) << "removing builds no rule";
}

TEST_F(Firewall, NamesTheFailedStepAndAddsNothing)
{
    const struct {
        const char* plan;
        const char* step;
    } steps[] = {
        {"fail CoCreateInstance call=1 return=0x80040154", "Open Windows Firewall policy (HRESULT 0x80040154)"},
        {"fail INetFwPolicy2::get_Rules call=1 return=0x80070005", "Read Windows Firewall rules (HRESULT 0x80070005)"},
        {"fail CoCreateInstance call=2 return=0x8007000E", "Create Console firewall rule (HRESULT 0x8007000E)"},
        {"fail INetFwRule::put_Name call=1 return=0x80070057", "Set firewall rule name (HRESULT 0x80070057)"},
        {"fail INetFwRule::put_ApplicationName call=1 return=0x80070005", "Set firewall application path (HRESULT 0x80070005)"},
        {"fail INetFwRule::put_Protocol call=1 return=0x80070005", "Set firewall protocol (HRESULT 0x80070005)"},
        {"fail INetFwRule::put_LocalPorts call=1 return=0x80070005", "Set firewall port (HRESULT 0x80070005)"},
        {"fail INetFwRule::put_Direction call=1 return=0x80070005", "Set inbound firewall direction (HRESULT 0x80070005)"},
        {"fail INetFwRule::put_Profiles call=1 return=0x80070005", "Set private/domain firewall profiles (HRESULT 0x80070005)"},
        {"fail INetFwRule::put_Action call=1 return=0x80070005", "Set firewall allow action (HRESULT 0x80070005)"},
        {"fail INetFwRule::put_Enabled call=1 return=0x80070005", "Enable Console firewall rule (HRESULT 0x80070005)"},
        {"fail INetFwRules::Add call=1 return=0x800706D9", "Save Console firewall rule (HRESULT 0x800706D9)"},
    };
    for (const auto& step : steps) {
        loadShim(step.plan);
        std::string text;
        EXPECT_TRUE(onFreshThread([&] { text = firewallFailure(true, 8080); })) << step.plan;
        EXPECT_THAT(text, StartsWith(step.step));
        if (std::string(step.plan).find("INetFwRules::Add") == std::string::npos) {
            EXPECT_FALSE(shimRecorded("INetFwRules::Add")) << step.plan;
        }
        expectAllReleased(step.plan);
        unloadShim();
    }
}

TEST_F(Firewall, ReportsAFailedRemoval)
{
    loadShim("fail INetFwRules::Remove call=1 return=0x80070002");
    std::string text;
    onFreshThread([&] { text = firewallFailure(false, 8080); });
    EXPECT_THAT(text, StartsWith("Remove Console firewall rule (HRESULT 0x80070002): "));
}

TEST_F(Firewall, RefusesAThreadAlreadyInTheMultithreadedApartment)
{
    std::string text;
    std::thread([&] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        text = firewallFailure(true, 8080);
        CoUninitialize();
    }).join();
    EXPECT_THAT(text, StartsWith("Initialize Windows Firewall API (HRESULT 0x80010106)"));
}

TEST_F(Firewall, AcceptsAThreadAlreadyInASingleThreadedApartment)
{
    std::thread([] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        EXPECT_EQ(firewallFailure(false, 8080), "(no failure)");
        // Still initialised once: the call balanced its own initialisation.
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_FALSE);
        CoUninitialize();
        CoUninitialize();
    }).join();
}

// Wine's rule set keeps nothing and answers Item with E_NOTIMPL, which counts as no rule; the
// shim's S_OK stands in for Windows' answer while it holds a rule of our name.
TEST_F(Firewall, RemovesEveryRuleOfItsNameOneByOne)
{
    const std::string listedTwice = "fail INetFwRules::Item call=1 return=0\nfail INetFwRules::Item call=2 return=0\n";
    const struct {
        bool add;
        std::string plan, failure;
        std::vector<std::string> calls; // Remove and Add, in order
    } rows[] = {
        {true, listedTwice, "(no failure)", {"Remove", "Remove", "Add"}},
        {false, listedTwice, "(no failure)", {"Remove", "Remove", "Remove"}},
        {true, "fail INetFwRules::Item from=1 return=0\n",
         "Windows Firewall still lists the rule \"Quellmark Console HTTP\" after removing it. Remove the rule in "
         "Windows Firewall, then try again.",
         std::vector<std::string>(64, "Remove")},
    };
    for (const auto& row : rows) {
        loadShim(row.plan);
        std::string text;
        onFreshThread([&] { text = firewallFailure(row.add, 8080); });
        EXPECT_EQ(text, row.failure) << row.plan;
        std::vector<std::string> calls;
        for (const ShimRecord& record : readShimRecords())
            if (record.function == "INetFwRules::Remove" || record.function == "INetFwRules::Add")
                calls.push_back(record.function.substr(13));
        EXPECT_EQ(calls, row.calls) << row.plan;
        unloadShim();
    }
}

// Wine's policy answers no question (E_NOTIMPL): where Windows cannot tell, nothing is said.
// The other answers are the shim's, as Windows gives them (profiles 2 private, 4 public...).
TEST_F(Firewall, SaysWhyAnAddedRuleCannotLetOthersInYet)
{
    const std::string notYet = "Other devices cannot reach the console yet: ";
    const std::string policy = notYet + "Group Policy on this computer overrides local firewall rules; ask your "
                                        "domain administrator to allow the console's port.";
    const std::string blocked = notYet + "Windows Firewall blocks all incoming connections on the current network.";
    const std::pair<std::string, std::string> rows[] = {
        {"", ""},
        {"value INetFwPolicy2 profiles=2 modify=0", ""},
        {"value INetFwPolicy2 profiles=5 modify=0", ""},
        {"value INetFwPolicy2 profiles=4 modify=1", notYet + "this computer is on a public network, where the rule "
                                                  "does not apply; set the network to private in Windows network "
                                                  "settings to allow access."},
        {"value INetFwPolicy2 profiles=4 modify=1 enabled=0", ""}, // nothing to let anyone in through
        {"value INetFwPolicy2 profiles=1 modify=2", blocked},
        // On two networks at once, one that lets others in is enough.
        {"value INetFwPolicy2 profiles=6 modify=1 partial=1", ""}, // Group Policy on only one of them
        {"value INetFwPolicy2 profiles=6 blockall=4", ""},
        {"value INetFwPolicy2 profiles=6 blockall=2 off=4", ""},
        {"value INetFwPolicy2 profiles=6 modify=1", policy},
        {"value INetFwPolicy2 profiles=6 blockall=2", blocked}, // the private network's reason first
    };
    for (const auto& [plan, hindrance] : rows) {
        loadShim(plan);
        std::string text;
        EXPECT_TRUE(onFreshThread([&] { text = firewallRuleHindrance(); }));
        EXPECT_EQ(text, hindrance) << plan;
        expectAllReleased(plan);
        unloadShim();
    }
}
