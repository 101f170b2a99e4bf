#include <gtest/gtest.h>

#include <windows.h>
#include <netfw.h>

#include <map>
#include <string>

#include "common/handles.h"
#include "common/text.h"
#include "tests/support/shim.h"

// Wine's firewall objects accept every call and keep nothing, so the shim's records are the only
// place where a test can see what a program handed them; these tests drive the real objects.

namespace {

constexpr CLSID NET_FW_POLICY2{0xE2B3C97F, 0x6AE1, 0x41AC, {0x81, 0x7A, 0xF6, 0xF9, 0x21, 0x66, 0xD7, 0xDD}};
constexpr CLSID NET_FW_RULE{0x2C5BC43E, 0x3369, 0x4C33, {0xAB, 0x0C, 0xBE, 0x94, 0x69, 0x67, 0x7A, 0xF4}};

struct BstrFreer {
    void operator()(BSTR text) const noexcept { SysFreeString(text); }
};
using Bstr = std::unique_ptr<OLECHAR, BstrFreer>;

const std::wstring APPLICATION = L"C:\\Program Files\\Vostrel\\Quellmark Console\\runtime\\python.exe";

// Adds a rule the way the wizard does and returns each call's result by method name.
std::map<std::string, HRESULT> addRule(const std::wstring& ports)
{
    std::map<std::string, HRESULT> results;
    INetFwPolicy2* rawPolicy = nullptr;
    results["CoCreateInstance policy"] = CoCreateInstance(NET_FW_POLICY2, nullptr, CLSCTX_INPROC_SERVER,
                                                          __uuidof(INetFwPolicy2), reinterpret_cast<void**>(&rawPolicy));
    const ComPtr<INetFwPolicy2> policy(rawPolicy);
    INetFwRules* rawRules = nullptr;
    results["get_Rules"] = policy->get_Rules(&rawRules);
    const ComPtr<INetFwRules> rules(rawRules);
    if (rules == nullptr)
        return results;
    INetFwRule* rawRule = nullptr;
    results["CoCreateInstance rule"] = CoCreateInstance(NET_FW_RULE, nullptr, CLSCTX_INPROC_SERVER,
                                                        __uuidof(INetFwRule), reinterpret_cast<void**>(&rawRule));
    const ComPtr<INetFwRule> rule(rawRule);
    const Bstr name(SysAllocString(L"Quellmark Console HTTP"));
    const Bstr application(SysAllocString(APPLICATION.c_str()));
    const Bstr portText(SysAllocString(ports.c_str()));
    results["put_Name"] = rule->put_Name(name.get());
    results["put_ApplicationName"] = rule->put_ApplicationName(application.get());
    results["put_Protocol"] = rule->put_Protocol(NET_FW_IP_PROTOCOL_TCP);
    results["put_LocalPorts"] = rule->put_LocalPorts(portText.get());
    results["put_Direction"] = rule->put_Direction(NET_FW_RULE_DIR_IN);
    results["put_Profiles"] = rule->put_Profiles(NET_FW_PROFILE2_DOMAIN | NET_FW_PROFILE2_PRIVATE);
    results["put_Action"] = rule->put_Action(NET_FW_ACTION_ALLOW);
    results["put_Enabled"] = rule->put_Enabled(VARIANT_TRUE);
    results["Add"] = rules->Add(rule.get());
    results["Remove"] = rules->Remove(name.get());
    return results;
}

class FirewallRecords : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK); }
    void TearDown() override
    {
        unloadShim();
        CoUninitialize();
    }
};

} // namespace

TEST_F(FirewallRecords, RecordEveryRuleSetterAddAndReleaseWithTheirArguments)
{
    loadShim("");
    for (const auto& [call, result] : addRule(L"8080"))
        EXPECT_EQ(result, S_OK) << call;

    std::vector<std::string> order;
    std::map<std::string, ShimRecord> last;
    std::map<std::string, std::string> lastCount; // by object number
    for (const ShimRecord& record : readShimRecords()) {
        if (record.function.ends_with("::Release"))
            lastCount[record["object"]] = record["count"];
        else if (!record.function.starts_with("shim."))
            order.push_back(record.function);
        last[record.function] = record;
    }
    EXPECT_EQ(order, (std::vector<std::string>{
                         "CoCreateInstance", "INetFwPolicy2::get_Rules", "CoCreateInstance",
                         "INetFwRule::put_Name", "INetFwRule::put_ApplicationName", "INetFwRule::put_Protocol",
                         "INetFwRule::put_LocalPorts", "INetFwRule::put_Direction", "INetFwRule::put_Profiles",
                         "INetFwRule::put_Action", "INetFwRule::put_Enabled", "INetFwRules::Add",
                         "INetFwRules::Remove"}));

    EXPECT_EQ(last["CoCreateInstance"]["name"], "NetFwRule");
    EXPECT_EQ(last["CoCreateInstance"]["class"], "{2C5BC43E-3369-4C33-AB0C-BE9469677AF4}");
    EXPECT_EQ(last["CoCreateInstance"]["context"], "1");
    const std::string rule = last["CoCreateInstance"]["object"];
    EXPECT_EQ(last["INetFwRule::put_Name"]["object"], rule);
    EXPECT_EQ(last["INetFwRule::put_Name"]["value"], "Quellmark Console HTTP");
    EXPECT_EQ(last["INetFwRule::put_ApplicationName"]["value"], narrow(APPLICATION));
    EXPECT_EQ(last["INetFwRule::put_Protocol"]["value"], "6");
    EXPECT_EQ(last["INetFwRule::put_LocalPorts"]["value"], "8080");
    EXPECT_EQ(last["INetFwRule::put_Direction"]["value"], "1");
    EXPECT_EQ(last["INetFwRule::put_Profiles"]["value"], "3");
    EXPECT_EQ(last["INetFwRule::put_Action"]["value"], "1");
    EXPECT_EQ(last["INetFwRule::put_Enabled"]["value"], "-1");
    EXPECT_EQ(last["INetFwRules::Add"]["rule"], rule);
    EXPECT_EQ(last["INetFwRules::Add"]["object"], last["INetFwPolicy2::get_Rules"]["rules"]);
    EXPECT_EQ(last["INetFwRules::Add"]["result"], "0x00000000");
    EXPECT_EQ(last["INetFwRules::Remove"]["name"], "Quellmark Console HTTP");
    // Each of the three objects was released to the end (Wine's policy holds the rule set too,
    // and its release shows as a second release of the rule set).
    EXPECT_EQ(lastCount, (std::map<std::string, std::string>{{"1", "0"}, {"2", "0"}, {"3", "0"}}));
    EXPECT_EQ(last["INetFwRule::Release"]["object"], rule);
}

TEST_F(FirewallRecords, TellRuleObjectsApartByTheirNumbers)
{
    loadShim("");
    addRule(L"8080");
    addRule(L"1");
    const auto created = readShimRecords("CoCreateInstance");
    const auto added = readShimRecords("INetFwRules::Add");
    const auto ports = readShimRecords("INetFwRule::put_LocalPorts");
    ASSERT_EQ(created.size(), 4u);
    ASSERT_EQ(added.size(), 2u);
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_NE(created[1]["object"], created[3]["object"]);
    EXPECT_EQ(added[0]["rule"], created[1]["object"]);
    EXPECT_EQ(added[1]["rule"], created[3]["object"]);
    EXPECT_EQ(ports[1]["object"], created[3]["object"]);
    EXPECT_EQ(ports[1]["value"], "1");
}

class FirewallFaults : public FirewallRecords, public testing::WithParamInterface<const char*> {};

TEST_P(FirewallFaults, FailOnlyThePlannedMethodWithItsResult)
{
    const std::string method = GetParam();
    loadShim("fail " + method + " call=1 return=0x80070005\n");
    const std::string shortName = method.substr(method.find("::") + 2);
    for (const auto& [call, result] : addRule(L"8080"))
        EXPECT_EQ(result, call == shortName ? E_ACCESSDENIED : S_OK) << call;

    const auto records = readShimRecords(method);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0]["fault"], "yes");
    EXPECT_EQ(records[0]["result"], "0x80070005");
    // The second call of the method is no longer planned to fail.
    for (const auto& [call, result] : addRule(L"8080"))
        EXPECT_EQ(result, S_OK) << call;
}

INSTANTIATE_TEST_SUITE_P(Shim, FirewallFaults,
                         testing::Values("INetFwPolicy2::get_Rules", "INetFwRule::put_Name",
                                         "INetFwRule::put_ApplicationName", "INetFwRule::put_Protocol",
                                         "INetFwRule::put_LocalPorts", "INetFwRule::put_Direction",
                                         "INetFwRule::put_Profiles", "INetFwRule::put_Action",
                                         "INetFwRule::put_Enabled", "INetFwRules::Add", "INetFwRules::Remove"),
                         [](const testing::TestParamInfo<const char*>& method) {
                             std::string name = method.param;
                             return name.substr(name.find("::") + 2);
                         });

TEST_F(FirewallRecords, UnloadingGivesLiveObjectsTheirOwnMethodsBack)
{
    loadShim("fail INetFwRule::put_Name from=1 return=0x80070005\n");
    INetFwRule* rawRule = nullptr;
    ASSERT_EQ(CoCreateInstance(NET_FW_RULE, nullptr, CLSCTX_INPROC_SERVER, __uuidof(INetFwRule),
                               reinterpret_cast<void**>(&rawRule)),
              S_OK);
    const ComPtr<INetFwRule> rule(rawRule);
    const Bstr name(SysAllocString(L"Quellmark Console HTTP"));
    EXPECT_EQ(rule->put_Name(name.get()), E_ACCESSDENIED);
    unloadShim();
    // The object outlives the shim's code: it must reach Wine's own methods now.
    EXPECT_EQ(rule->put_Name(name.get()), S_OK);
}
