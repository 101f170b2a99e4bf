#include "windows/firewall.h"

#include <netfw.h>
#include <objbase.h>

#include <algorithm>
#include <memory>
#include <new>
#include <stdexcept>

#include "common/failure.h"
#include "common/folders.h"
#include "common/handles.h"
#include "common/product.h"

namespace {

constexpr CLSID NET_FW_POLICY2 = {0xE2B3C97F, 0x6AE1, 0x41AC, {0x81, 0x7A, 0xF6, 0xF9, 0x21, 0x66, 0xD7, 0xDD}};
constexpr IID NET_FW_POLICY2_INTERFACE = {0x98325047, 0xC671, 0x4174, {0x8D, 0x81, 0xDE, 0xFC, 0xD3, 0xF0, 0x31, 0x86}};
constexpr CLSID NET_FW_RULE = {0x2C5BC43E, 0x3369, 0x4C33, {0xAB, 0x0C, 0xBE, 0x94, 0x69, 0x67, 0x7A, 0xF4}};
constexpr IID NET_FW_RULE_INTERFACE = {0xAF230D27, 0xBABA, 0x4E42, {0xAC, 0xED, 0xF5, 0x24, 0xF2, 0x2C, 0xFC, 0xE2}};

// The result of this thread's last failed call that needs the Windows Firewall service.
thread_local HRESULT lastFailure = S_OK;

void check(HRESULT result, const char* step)
{
    if (FAILED(result))
        lastFailure = result;
    firewallCheck(result, step);
}

// What Windows answers while the Windows Firewall service is not running (stopped, disabled, or
// a service it needs would not start): its calls reach no one.
bool unreachable(HRESULT result)
{
    for (const long error : {EPT_S_NOT_REGISTERED, RPC_S_SERVER_UNAVAILABLE, ERROR_SERVICE_NOT_ACTIVE,
                             ERROR_SERVICE_DISABLED, ERROR_SERVICE_DEPENDENCY_FAIL})
        if (result == HRESULT_FROM_WIN32(error))
            return true;
    return false;
}

template <typename Interface>
ComPtr<Interface> createInstance(const CLSID& object, const IID& interfaceId, const char* step)
{
    Interface* raw = nullptr;
    check(CoCreateInstance(object, nullptr, CLSCTX_INPROC_SERVER, interfaceId, reinterpret_cast<void**>(&raw)), step);
    return ComPtr<Interface>(raw);
}

// Far more rules of our name than any number of installations leaves.
constexpr int MOST_EARLIER_RULES = 64;

// Whether the rule set holds a rule of this name. Windows answers "file not found" when it holds
// none; a rule set that cannot say leaves us no wiser than before, and the caller goes on as it
// would without rules of that name.
bool holdsRule(INetFwRules* rules, const FirewallString& name)
{
    INetFwRule* raw = nullptr;
    const HRESULT found = rules->Item(name.get(), &raw);
    if (raw != nullptr)
        raw->Release();
    return SUCCEEDED(found);
}

// The rule set takes any number of rules of one name, and what Remove does with more than one is
// not documented: an earlier installation whose settings were lost, or an Add that stored the
// rule and still answered with an error, leaves rules of our name behind. Each goes, one Remove
// at a time; a Remove that succeeds without taking a rule away ends the loop in a failure.
void removeEveryRule(INetFwRules* rules, const FirewallString& name)
{
    for (int removed = 0; holdsRule(rules, name); ++removed) {
        if (removed == MOST_EARLIER_RULES)
            throw std::runtime_error("Windows Firewall still lists the rule \"Quellmark Console HTTP\" after removing "
                                     "it. Remove the rule in Windows Firewall, then try again.");
        check(rules->Remove(name.get()), "Remove Console firewall rule");
    }
}

std::wstring interpreterPath()
{
    std::wstring path = (appDir() / L"runtime" / L"python.exe").wstring();
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

// Every property is set before the rule reaches the rule set, so a failure on the way leaves
// the firewall exactly as it was.
void addRule(INetFwRules* rules, const FirewallString& name, unsigned port)
{
    const auto rule = createInstance<INetFwRule>(NET_FW_RULE, NET_FW_RULE_INTERFACE, "Create Console firewall rule");
    const FirewallString program(interpreterPath());
    const FirewallString ports(std::to_wstring(port));
    firewallCheck(rule->put_Name(name.get()), "Set firewall rule name");
    firewallCheck(rule->put_ApplicationName(program.get()), "Set firewall application path");
    firewallCheck(rule->put_Protocol(NET_FW_IP_PROTOCOL_TCP), "Set firewall protocol");
    firewallCheck(rule->put_LocalPorts(ports.get()), "Set firewall port");
    firewallCheck(rule->put_Direction(NET_FW_RULE_DIR_IN), "Set inbound firewall direction");
    firewallCheck(rule->put_Profiles(NET_FW_PROFILE2_DOMAIN | NET_FW_PROFILE2_PRIVATE),
                  "Set private/domain firewall profiles");
    firewallCheck(rule->put_Action(NET_FW_ACTION_ALLOW), "Set firewall allow action");
    firewallCheck(rule->put_Enabled(VARIANT_TRUE), "Enable Console firewall rule");
    removeEveryRule(rules, name);
    firewallCheck(rules->Add(rule.get()), "Save Console firewall rule");
}

void changeRules(bool add, unsigned port)
{
    const auto policy =
        createInstance<INetFwPolicy2>(NET_FW_POLICY2, NET_FW_POLICY2_INTERFACE, "Open Windows Firewall policy");
    INetFwRules* rawRules = nullptr;
    check(policy->get_Rules(&rawRules), "Read Windows Firewall rules");
    const ComPtr<INetFwRules> rules(rawRules);
    const FirewallString name(FIREWALL_NAME);
    if (add) {
        addRule(rules.get(), name, port);
    } else {
        check(rules->Remove(name.get()), "Remove Console firewall rule");
        removeEveryRule(rules.get(), name);
    }
}

constexpr char PUBLIC_NETWORK[] =
    "Other devices cannot reach the console yet: this computer is on a public network, where the rule does not "
    "apply; set the network to private in Windows network settings to allow access.";
constexpr char GROUP_POLICY[] =
    "Other devices cannot reach the console yet: Group Policy on this computer overrides local firewall rules; ask "
    "your domain administrator to allow the console's port.";
constexpr char ALL_BLOCKED[] =
    "Other devices cannot reach the console yet: Windows Firewall blocks all incoming connections on the current "
    "network.";

// Why a new rule would not take effect on the networks in force, where Windows says so of all of
// them. It answers for the current profiles together (get_LocalPolicyModifyState), with S_FALSE
// where its answer holds for only some of them, without saying which (Windows Firewall's
// guidelines for working with multiple profiles). Per profile it tells whether the firewall is
// on and whether it blocks all incoming connections, but not whether Group Policy lets local
// rules count. So a state counts only where it holds for every profile in force: a laptop on its
// office's network and a hotel's may have the policy on the public profile alone, and the rule
// then works in the office. Written from the documentation.
NET_FW_MODIFY_STATE stateOfEveryProfile(INetFwPolicy2* policy)
{
    NET_FW_MODIFY_STATE state = NET_FW_MODIFY_STATE_OK;
    return policy->get_LocalPolicyModifyState(&state) == S_OK ? state : NET_FW_MODIFY_STATE_OK;
}

// Why the network of one profile in force keeps other devices out, or nothing where it lets
// them in: a firewall that is off keeps nobody out, whatever the rule's reach; on a public
// network the rule does not apply. An answer that cannot be read counts as the firewall on and
// not blocking everything.
const char* keptOutBy(INetFwPolicy2* policy, NET_FW_PROFILE_TYPE2 profile, NET_FW_MODIFY_STATE everyProfile)
{
    VARIANT_BOOL enabled = VARIANT_TRUE;
    if (SUCCEEDED(policy->get_FirewallEnabled(profile, &enabled)) && enabled == VARIANT_FALSE)
        return nullptr;
    if (profile == NET_FW_PROFILE2_PUBLIC)
        return PUBLIC_NETWORK;
    if (everyProfile == NET_FW_MODIFY_STATE_GP_OVERRIDE)
        return GROUP_POLICY;
    VARIANT_BOOL blocked = VARIANT_FALSE;
    if (everyProfile == NET_FW_MODIFY_STATE_INBOUND_BLOCKED ||
        (SUCCEEDED(policy->get_BlockAllInboundTraffic(profile, &blocked)) && blocked != VARIANT_FALSE))
        return ALL_BLOCKED;
    return nullptr;
}

// The rule is in place, yet other devices may still be kept out. One network in force that lets
// them in is enough for nothing to be said; where every one keeps them out, the sentence is that
// of the first of them, domain, then private, then public, since a private or domain network is
// where the rule was meant to work. Without the profiles in force only the answer for all of
// them is left.
std::string hindrance(INetFwPolicy2* policy)
{
    const NET_FW_MODIFY_STATE everyProfile = stateOfEveryProfile(policy);
    long profiles = 0;
    if (FAILED(policy->get_CurrentProfileTypes(&profiles)) || profiles == 0)
        return everyProfile == NET_FW_MODIFY_STATE_GP_OVERRIDE    ? GROUP_POLICY
               : everyProfile == NET_FW_MODIFY_STATE_INBOUND_BLOCKED ? ALL_BLOCKED
                                                                    : "";
    const char* first = nullptr;
    for (const NET_FW_PROFILE_TYPE2 profile :
         {NET_FW_PROFILE2_DOMAIN, NET_FW_PROFILE2_PRIVATE, NET_FW_PROFILE2_PUBLIC}) {
        if ((profiles & profile) == 0)
            continue;
        const char* reason = keptOutBy(policy, profile, everyProfile);
        if (reason == nullptr)
            return {};
        if (first == nullptr)
            first = reason;
    }
    return first != nullptr ? first : "";
}

} // namespace

FirewallString::FirewallString(const std::wstring& text) : value(SysAllocString(text.c_str()))
{
    if (value == nullptr)
        throw std::bad_alloc();
}

FirewallString::~FirewallString()
{
    SysFreeString(value);
}

std::string firewallRuleHindrance()
{
    if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)))
        return {};
    std::string text;
    INetFwPolicy2* raw = nullptr;
    if (SUCCEEDED(CoCreateInstance(NET_FW_POLICY2, nullptr, CLSCTX_INPROC_SERVER, NET_FW_POLICY2_INTERFACE,
                                   reinterpret_cast<void**>(&raw))))
        text = hindrance(ComPtr<INetFwPolicy2>(raw).get());
    CoUninitialize();
    return text;
}

void firewall(bool add, unsigned port)
{
    // On failure COM was not initialised here, so there is nothing to undo.
    firewallCheck(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), "Initialize Windows Firewall API");
    try {
        changeRules(add, port); // releases every interface and string before COM goes away
    } catch (...) {
        CoUninitialize();
        throw;
    }
    CoUninitialize();
}

std::string removeFirewallRule()
{
    lastFailure = S_OK;
    try {
        firewall(false, 0);
        return {};
    } catch (const std::runtime_error& problem) {
        if (!unreachable(lastFailure))
            throw;
        return problem.what();
    }
}
