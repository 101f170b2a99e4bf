// The C form of the COM declarations gives the method tables as plain structs of function
// pointers, which is exactly what is copied and patched here.
#define CINTERFACE
#include <windows.h>
#include <exdisp.h>
#include <netfw.h>
#include <oleacc.h>

#include <cstddef>
#include <functional>
#include <vector>

#include "common/text.h"
#include "tests/shim/desktop_shell.h"
#include "tests/shim/firewall.h"
#include "tests/shim/intercept.h"
#include "tests/shim/records.h"

namespace {

constexpr GUID NET_FW_POLICY2{0xE2B3C97F, 0x6AE1, 0x41AC, {0x81, 0x7A, 0xF6, 0xF9, 0x21, 0x66, 0xD7, 0xDD}};
constexpr GUID NET_FW_RULE{0x2C5BC43E, 0x3369, 0x4C33, {0xAB, 0x0C, 0xBE, 0x94, 0x69, 0x67, 0x7A, 0xF4}};
constexpr GUID INET_FW_POLICY2{0x98325047, 0xC671, 0x4174, {0x8D, 0x81, 0xDE, 0xFC, 0xD3, 0xF0, 0x31, 0x86}};
constexpr GUID ACC_PROP_SERVICES{0xB5F8350B, 0x0548, 0x48B1, {0xA6, 0xEE, 0x88, 0xBD, 0x00, 0xB4, 0xA5, 0xE7}};
constexpr GUID IACC_PROP_SERVICES{0x6E26E776, 0x04F0, 0x495D, {0x80, 0xE4, 0x33, 0x30, 0x35, 0x2E, 0x31, 0x69}};
constexpr GUID INET_FW_RULE{0xAF230D27, 0xBABA, 0x4E42, {0xAC, 0xED, 0xF5, 0x24, 0xF2, 0x2C, 0xFC, 0xE2}};

// One patched copy per original method table, shared by all objects of that class.
template <typename Table>
struct Patched {
    const Table* original;
    Table table;
};

struct Watched {
    void* object;
    std::uint64_t id;
    const void* original; // the object's own method table
};

Entry* coCreateInstance = nullptr;
SRWLOCK lock = SRWLOCK_INIT;
std::vector<Watched>* watched = nullptr;
std::uint64_t lastId = 0;
std::optional<std::int32_t> plannedProfiles, plannedModifyState, plannedOff, plannedBlockAll;
bool plannedPartial = false;

// The copies of one kind of method table; a plain pointer, like the rest of the shim's state.
template <typename Table>
std::vector<Patched<Table>*>*& copiesOf()
{
    static std::vector<Patched<Table>*>* copies = nullptr;
    return copies;
}

template <typename Table>
const Table& original(const void* object)
{
    const Table* current = *static_cast<const Table* const*>(object);
    const auto* patched = reinterpret_cast<const Patched<Table>*>(
        reinterpret_cast<const char*>(current) - offsetof(Patched<Table>, table));
    return *patched->original;
}

std::uint64_t idOf(const void* object)
{
    AcquireSRWLockShared(&lock);
    std::uint64_t id = 0;
    for (const Watched& entry : *watched)
        if (entry.object == object)
            id = entry.id;
    ReleaseSRWLockShared(&lock);
    return id;
}

void forget(const void* object)
{
    AcquireSRWLockExclusive(&lock);
    std::erase_if(*watched, [object](const Watched& entry) { return entry.object == object; });
    ReleaseSRWLockExclusive(&lock);
}

std::string bstrText(BSTR value)
{
    return value != nullptr ? narrow(std::wstring(value, SysStringLen(value))) : std::string("(null)");
}

std::string signedText(long long value)
{
    return std::to_string(value);
}

// Counts the call, fails it as planned or makes it, and records it with its result.
HRESULT firewallCall(const void* object, const char* method, Fields fields,
                     const std::function<HRESULT(Fields&)>& call)
{
    Entry* entry = findEntry(method);
    std::uint64_t number = 0;
    const Fault* fault = entry != nullptr ? countCall(*entry, number) : nullptr;
    fields.insert(fields.begin(), {"object", decimal(idOf(object))});
    const HRESULT result = fault != nullptr ? static_cast<HRESULT>(fault->value) : call(fields);
    if (fault != nullptr)
        fields.emplace_back("fault", "yes");
    fields.emplace_back("result", hexadecimal(static_cast<std::uint32_t>(result), 8));
    writeRecord(method, fields);
    return result;
}

template <typename Interface, typename Table>
ULONG releaseObject(Interface* self, const char* method)
{
    const std::uint64_t id = idOf(self);
    const ULONG count = original<Table>(self).Release(self);
    writeRecord(method, {{"object", decimal(id)}, {"count", decimal(count)}});
    if (count == 0)
        forget(self); // the memory may belong to a new object soon
    return count;
}

} // namespace

namespace {

// Rule setters: each records the value it was given.

HRESULT STDMETHODCALLTYPE putName(INetFwRule* self, BSTR value)
{
    return firewallCall(self, "INetFwRule::put_Name", {{"value", bstrText(value)}},
                        [&](Fields&) { return original<INetFwRuleVtbl>(self).put_Name(self, value); });
}

HRESULT STDMETHODCALLTYPE putApplicationName(INetFwRule* self, BSTR value)
{
    return firewallCall(self, "INetFwRule::put_ApplicationName", {{"value", bstrText(value)}},
                        [&](Fields&) { return original<INetFwRuleVtbl>(self).put_ApplicationName(self, value); });
}

HRESULT STDMETHODCALLTYPE putProtocol(INetFwRule* self, LONG value)
{
    return firewallCall(self, "INetFwRule::put_Protocol", {{"value", signedText(value)}},
                        [&](Fields&) { return original<INetFwRuleVtbl>(self).put_Protocol(self, value); });
}

HRESULT STDMETHODCALLTYPE putLocalPorts(INetFwRule* self, BSTR value)
{
    return firewallCall(self, "INetFwRule::put_LocalPorts", {{"value", bstrText(value)}},
                        [&](Fields&) { return original<INetFwRuleVtbl>(self).put_LocalPorts(self, value); });
}

HRESULT STDMETHODCALLTYPE putDirection(INetFwRule* self, NET_FW_RULE_DIRECTION value)
{
    return firewallCall(self, "INetFwRule::put_Direction", {{"value", signedText(value)}},
                        [&](Fields&) { return original<INetFwRuleVtbl>(self).put_Direction(self, value); });
}

HRESULT STDMETHODCALLTYPE putProfiles(INetFwRule* self, LONG value)
{
    return firewallCall(self, "INetFwRule::put_Profiles", {{"value", signedText(value)}},
                        [&](Fields&) { return original<INetFwRuleVtbl>(self).put_Profiles(self, value); });
}

HRESULT STDMETHODCALLTYPE putAction(INetFwRule* self, NET_FW_ACTION value)
{
    return firewallCall(self, "INetFwRule::put_Action", {{"value", signedText(value)}},
                        [&](Fields&) { return original<INetFwRuleVtbl>(self).put_Action(self, value); });
}

HRESULT STDMETHODCALLTYPE putEnabled(INetFwRule* self, VARIANT_BOOL value)
{
    return firewallCall(self, "INetFwRule::put_Enabled", {{"value", signedText(value)}},
                        [&](Fields&) { return original<INetFwRuleVtbl>(self).put_Enabled(self, value); });
}

ULONG STDMETHODCALLTYPE releaseRule(INetFwRule* self)
{
    return releaseObject<INetFwRule, INetFwRuleVtbl>(self, "INetFwRule::Release");
}

HRESULT STDMETHODCALLTYPE addRule(INetFwRules* self, INetFwRule* rule)
{
    return firewallCall(self, "INetFwRules::Add", {{"rule", decimal(idOf(rule))}},
                        [&](Fields&) { return original<INetFwRulesVtbl>(self).Add(self, rule); });
}

HRESULT STDMETHODCALLTYPE removeRule(INetFwRules* self, BSTR name)
{
    return firewallCall(self, "INetFwRules::Remove", {{"name", bstrText(name)}},
                        [&](Fields&) { return original<INetFwRulesVtbl>(self).Remove(self, name); });
}

HRESULT STDMETHODCALLTYPE itemRule(INetFwRules* self, BSTR name, INetFwRule** rule)
{
    return firewallCall(self, "INetFwRules::Item", {{"name", bstrText(name)}},
                        [&](Fields&) { return original<INetFwRulesVtbl>(self).Item(self, name, rule); });
}

ULONG STDMETHODCALLTYPE releaseRules(INetFwRules* self)
{
    return releaseObject<INetFwRules, INetFwRulesVtbl>(self, "INetFwRules::Release");
}

std::uint64_t watch(void* object, const void* patchedTable);

template <typename Table>
const Table* patchedFor(const Table* own, void (*patch)(Table&));

void patchRules(INetFwRulesVtbl& table)
{
    table.Add = addRule;
    table.Remove = removeRule;
    table.Item = itemRule;
    table.Release = releaseRules;
}

HRESULT STDMETHODCALLTYPE getRules(INetFwPolicy2* self, INetFwRules** rules)
{
    return firewallCall(self, "INetFwPolicy2::get_Rules", {}, [&](Fields& fields) {
        const HRESULT result = original<INetFwPolicy2Vtbl>(self).get_Rules(self, rules);
        if (SUCCEEDED(result) && rules != nullptr && *rules != nullptr)
            fields.emplace_back("rules", decimal(watch(*rules, patchedFor((*rules)->lpVtbl, patchRules))));
        return result;
    });
}

// Wine 8 answers E_NOTIMPL to both questions; a planned answer stands in for Windows'.
HRESULT STDMETHODCALLTYPE getProfiles(INetFwPolicy2* self, LONG* profiles)
{
    return firewallCall(self, "INetFwPolicy2::get_CurrentProfileTypes", {}, [&](Fields&) {
        return plannedProfiles ? (*profiles = *plannedProfiles, S_OK)
                               : original<INetFwPolicy2Vtbl>(self).get_CurrentProfileTypes(self, profiles);
    });
}

HRESULT STDMETHODCALLTYPE getModifyState(INetFwPolicy2* self, NET_FW_MODIFY_STATE* state)
{
    return firewallCall(self, "INetFwPolicy2::get_LocalPolicyModifyState", {}, [&](Fields&) {
        return plannedModifyState ? (*state = static_cast<NET_FW_MODIFY_STATE>(*plannedModifyState),
                                     plannedPartial ? S_FALSE : S_OK)
                                  : original<INetFwPolicy2Vtbl>(self).get_LocalPolicyModifyState(self, state);
    });
}

// Per profile: whether its bit is in the planned mask.
HRESULT STDMETHODCALLTYPE getEnabled(INetFwPolicy2* self, NET_FW_PROFILE_TYPE2 profile, VARIANT_BOOL* enabled)
{
    return firewallCall(self, "INetFwPolicy2::get_FirewallEnabled", {{"profile", decimal(profile)}}, [&](Fields&) {
        return plannedOff ? (*enabled = (*plannedOff & profile) == 0 ? VARIANT_TRUE : VARIANT_FALSE, S_OK)
                          : original<INetFwPolicy2Vtbl>(self).get_FirewallEnabled(self, profile, enabled);
    });
}

HRESULT STDMETHODCALLTYPE getBlockAll(INetFwPolicy2* self, NET_FW_PROFILE_TYPE2 profile, VARIANT_BOOL* blocked)
{
    return firewallCall(self, "INetFwPolicy2::get_BlockAllInboundTraffic", {{"profile", decimal(profile)}},
                        [&](Fields&) {
        return plannedBlockAll ? (*blocked = (*plannedBlockAll & profile) != 0 ? VARIANT_TRUE : VARIANT_FALSE, S_OK)
                               : original<INetFwPolicy2Vtbl>(self).get_BlockAllInboundTraffic(self, profile, blocked);
    });
}

ULONG STDMETHODCALLTYPE releasePolicy(INetFwPolicy2* self)
{
    return releaseObject<INetFwPolicy2, INetFwPolicy2Vtbl>(self, "INetFwPolicy2::Release");
}

void patchRule(INetFwRuleVtbl& table)
{
    table.put_Name = putName;
    table.put_ApplicationName = putApplicationName;
    table.put_Protocol = putProtocol;
    table.put_LocalPorts = putLocalPorts;
    table.put_Direction = putDirection;
    table.put_Profiles = putProfiles;
    table.put_Action = putAction;
    table.put_Enabled = putEnabled;
    table.Release = releaseRule;
}

void patchPolicy(INetFwPolicy2Vtbl& table)
{
    table.get_Rules = getRules;
    table.get_CurrentProfileTypes = getProfiles;
    table.get_LocalPolicyModifyState = getModifyState;
    table.get_FirewallEnabled = getEnabled;
    table.get_BlockAllInboundTraffic = getBlockAll;
    table.Release = releasePolicy;
}

template <typename Table>
bool isCopyOf(const void* table)
{
    for (const Patched<Table>* copy : *copiesOf<Table>())
        if (&copy->table == table)
            return true;
    return false;
}

bool isCopy(const void* table)
{
    return isCopyOf<INetFwPolicy2Vtbl>(table) || isCopyOf<INetFwRulesVtbl>(table) || isCopyOf<INetFwRuleVtbl>(table) ||
           isCopyOf<IAccPropServicesVtbl>(table);
}

// The patched copy of an object's own method table, made on first sight of that table. An
// object that already shows a copy (the same rule set handed out twice) keeps it.
template <typename Table>
const Table* patchedFor(const Table* own, void (*patch)(Table&))
{
    AcquireSRWLockExclusive(&lock);
    const Table* result = nullptr;
    for (const Patched<Table>* copy : *copiesOf<Table>())
        if (&copy->table == own || copy->original == own)
            result = &copy->table;
    if (result == nullptr) {
        auto* copy = new Patched<Table>{own, *own};
        patch(copy->table);
        copiesOf<Table>()->push_back(copy);
        result = &copy->table;
    }
    ReleaseSRWLockExclusive(&lock);
    return result;
}

// Gives the object the patched table and an id; an object seen before keeps its id.
std::uint64_t watch(void* object, const void* patchedTable)
{
    AcquireSRWLockExclusive(&lock);
    const void** tableSlot = static_cast<const void**>(object);
    std::uint64_t id = 0;
    for (const Watched& entry : *watched)
        if (entry.object == object && isCopy(*tableSlot))
            id = entry.id;
    if (id == 0) {
        // A stale entry means that an object at this address was freed unseen.
        std::erase_if(*watched, [object](const Watched& entry) { return entry.object == object; });
        id = ++lastId;
        watched->push_back(Watched{object, id, *tableSlot});
        *tableSlot = patchedTable;
    }
    ReleaseSRWLockExclusive(&lock);
    return id;
}

// Windows keeps what a window's control is described as for screen readers (Direct Annotation);
// Wine 8's service refuses every description. The stand-in takes them and records each: the
// control's class, the property and its value (a text, or a number).
std::string guidText(REFGUID guid);

HRESULT describe(HWND control, MSAAPROPID property, const std::string& value)
{
    wchar_t name[64] = {};
    GetClassNameW(control, name, 64);
    writeRecord("IAccPropServices::describe", {{"control", narrow(name)}, {"property", guidText(property)},
                                                {"value", value}});
    return S_OK;
}

HRESULT STDMETHODCALLTYPE describeText(IAccPropServices*, HWND control, DWORD, DWORD, MSAAPROPID property,
                                       LPCWSTR text)
{
    return describe(control, property, narrow(text));
}

HRESULT STDMETHODCALLTYPE describeValue(IAccPropServices*, HWND control, DWORD, DWORD, MSAAPROPID property,
                                        VARIANT value)
{
    return describe(control, property, V_VT(&value) == VT_I4 ? std::to_string(V_I4(&value)) : "(not a number)");
}

void patchAnnotations(IAccPropServicesVtbl& table)
{
    table.SetHwndPropStr = describeText;
    table.SetHwndProp = describeValue;
}

const char* className(REFCLSID type)
{
    if (IsEqualGUID(type, NET_FW_POLICY2))
        return "NetFwPolicy2";
    if (IsEqualGUID(type, NET_FW_RULE))
        return "NetFwRule";
    if (IsEqualGUID(type, CLSID_ShellWindows))
        return "ShellWindows";
    return "";
}

std::string guidText(REFGUID guid)
{
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return narrow(text);
}

HRESULT STDAPICALLTYPE hookCoCreateInstance(REFCLSID type, LPUNKNOWN outer, DWORD context, REFIID requested,
                                            LPVOID* object)
{
    // The desktop's shell is always the stand-in: Wine's would start Wine's own browser.
    const HRESULT result =
        IsEqualGUID(type, CLSID_ShellWindows)
            ? createDesktopShell(requested, object)
            : originalOf<decltype(&CoCreateInstance)>(coCreateInstance)(type, outer, context, requested, object);
    Fields fields{{"class", guidText(type)}, {"name", className(type)}, {"context", decimal(context)}};
    const bool created = SUCCEEDED(result) && object != nullptr && *object != nullptr;
    if (created && IsEqualGUID(type, NET_FW_POLICY2) && IsEqualGUID(requested, INET_FW_POLICY2)) {
        auto* policy = static_cast<INetFwPolicy2*>(*object);
        fields.emplace_back("object", decimal(watch(policy, patchedFor(policy->lpVtbl, patchPolicy))));
    } else if (created && IsEqualGUID(type, ACC_PROP_SERVICES) && IsEqualGUID(requested, IACC_PROP_SERVICES)) {
        auto* annotations = static_cast<IAccPropServices*>(*object);
        watch(annotations, patchedFor(annotations->lpVtbl, patchAnnotations));
    } else if (created && IsEqualGUID(type, NET_FW_RULE) && IsEqualGUID(requested, INET_FW_RULE)) {
        auto* rule = static_cast<INetFwRule*>(*object);
        fields.emplace_back("object", decimal(watch(rule, patchedFor(rule->lpVtbl, patchRule))));
    }
    fields.emplace_back("result", hexadecimal(static_cast<std::uint32_t>(result), 8));
    writeRecord("CoCreateInstance", fields);
    return result;
}

template <typename Table>
void freeCopies()
{
    for (const Patched<Table>* copy : *copiesOf<Table>())
        delete copy;
    delete copiesOf<Table>();
    copiesOf<Table>() = nullptr;
}

} // namespace

void installFirewallHooks(const Plan& plan)
{
    plannedProfiles = plan.firewallProfiles;
    plannedModifyState = plan.firewallModifyState;
    plannedOff = plan.firewallOff;
    plannedBlockAll = plan.firewallBlockAll;
    plannedPartial = plan.firewallPartial;
    watched = new std::vector<Watched>;
    copiesOf<INetFwPolicy2Vtbl>() = new std::vector<Patched<INetFwPolicy2Vtbl>*>;
    copiesOf<INetFwRulesVtbl>() = new std::vector<Patched<INetFwRulesVtbl>*>;
    copiesOf<INetFwRuleVtbl>() = new std::vector<Patched<INetFwRuleVtbl>*>;
    copiesOf<IAccPropServicesVtbl>() = new std::vector<Patched<IAccPropServicesVtbl>*>;
    coCreateInstance = &intercept("CoCreateInstance");
    coCreateInstance->replacement = reinterpret_cast<void*>(&hookCoCreateInstance);
}

void removeFirewallHooks()
{
    if (watched == nullptr)
        return;
    for (const Watched& entry : *watched)
        *static_cast<const void**>(entry.object) = entry.original;
    delete watched;
    watched = nullptr;
    freeCopies<INetFwPolicy2Vtbl>();
    freeCopies<INetFwRulesVtbl>();
    freeCopies<INetFwRuleVtbl>();
    freeCopies<IAccPropServicesVtbl>();
}
