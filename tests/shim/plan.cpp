#include "tests/shim/plan.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <map>
#include <sstream>
#include <string_view>

namespace {

constexpr std::array firewallMethods{
    "INetFwPolicy2::get_Rules",       "INetFwRules::Add",          "INetFwRules::Remove",
    "INetFwRule::put_Name",           "INetFwRule::put_ApplicationName",
    "INetFwRule::put_Protocol",       "INetFwRule::put_LocalPorts", "INetFwRule::put_Direction",
    "INetFwRule::put_Profiles",       "INetFwRule::put_Action",    "INetFwRule::put_Enabled",
    "INetFwRules::Item", "INetFwPolicy2::get_CurrentProfileTypes", "INetFwPolicy2::get_LocalPolicyModifyState",
    "INetFwPolicy2::get_FirewallEnabled", "INetFwPolicy2::get_BlockAllInboundTraffic",
};

constexpr std::array<std::pair<std::string_view, int>, 11> answerNames{{
    {"IDOK", 1}, {"IDCANCEL", 2}, {"IDABORT", 3}, {"IDRETRY", 4}, {"IDIGNORE", 5}, {"IDYES", 6},
    {"IDNO", 7}, {"IDCLOSE", 8}, {"IDHELP", 9}, {"IDTRYAGAIN", 10}, {"IDCONTINUE", 11},
}};

struct Line {
    int number = 0;
    std::vector<std::string> words;
};

[[noreturn]] void reject(const Line& line, const std::string& reason)
{
    throw PlanError("plan line " + std::to_string(line.number) + ": " + reason);
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Decimal or 0x hexadecimal; a leading minus gives the two's complement (-1 is all bits set).
std::uint64_t number(const Line& line, const std::string& text, std::uint64_t maximum)
{
    const bool negative = text.starts_with('-');
    std::string digits = negative ? text.substr(1) : text;
    int base = 10;
    if (digits.starts_with("0x") || digits.starts_with("0X")) {
        base = 16;
        digits = digits.substr(2);
    }
    const bool valid = !digits.empty() && digits.size() <= 20 &&
        std::all_of(digits.begin(), digits.end(), [base](unsigned char c) {
            return base == 16 ? std::isxdigit(c) != 0 : std::isdigit(c) != 0;
        });
    if (!valid)
        reject(line, "\"" + text + "\" is not a number");
    std::size_t used = 0;
    std::uint64_t value = 0;
    try {
        value = std::stoull(digits, &used, base);
    } catch (const std::out_of_range&) {
        reject(line, "\"" + text + "\" is too large");
    }
    if (negative && maximum != UINT64_MAX)
        reject(line, "\"" + text + "\" is negative");
    if (negative) {
        if (value > (std::uint64_t{1} << 63))
            reject(line, "\"" + text + "\" is too small");
        value = ~value + 1;
    } else if (value > maximum) {
        reject(line, "\"" + text + "\" is larger than " + std::to_string(maximum));
    }
    return value;
}

// The key=value words after the first `skip` words; each key may appear once.
std::map<std::string, std::string> options(const Line& line, std::size_t skip,
                                           std::initializer_list<std::string_view> allowed)
{
    std::map<std::string, std::string> found;
    for (std::size_t i = skip; i < line.words.size(); ++i) {
        const std::string& word = line.words[i];
        const auto equals = word.find('=');
        if (equals == std::string::npos || equals == 0 || equals + 1 == word.size())
            reject(line, "expected key=value, found \"" + word + "\"");
        const std::string key = word.substr(0, equals);
        if (std::find(allowed.begin(), allowed.end(), key) == allowed.end())
            reject(line, "unknown option \"" + key + "\"");
        if (!found.emplace(key, word.substr(equals + 1)).second)
            reject(line, "option \"" + key + "\" given twice");
    }
    return found;
}

void requireWords(const Line& line, std::size_t count, const char* usage)
{
    if (line.words.size() < count)
        reject(line, std::string("expected ") + usage);
}

std::string functionName(const Line& line)
{
    requireWords(line, 2, "a function name");
    const std::string& name = line.words[1];
    const bool identifier = (std::isalpha(static_cast<unsigned char>(name[0])) || name[0] == '_') &&
        std::all_of(name.begin(), name.end(),
                    [](unsigned char c) { return std::isalnum(c) != 0 || c == '_'; });
    if (!identifier && !isFirewallMethod(name))
        reject(line, "\"" + name + "\" is neither an import name nor a known firewall method");
    return name;
}

PlannedFunction& function(Plan& plan, const std::string& name)
{
    for (PlannedFunction& existing : plan.functions)
        if (existing.name == name)
            return existing;
    plan.functions.push_back(PlannedFunction{name, {}, false, {}});
    return plan.functions.back();
}

void failLine(Plan& plan, const Line& line)
{
    const std::string name = functionName(line);
    auto found = options(line, 2, {"call", "from", "error", "errno", "return"});
    if (found.count("call") == found.count("from"))
        reject(line, "give exactly one of call= and from=");
    if (!found.count("return"))
        reject(line, "give return= (the value the failing call returns)");
    Fault fault;
    fault.onward = found.count("from") != 0;
    fault.call = number(line, found[fault.onward ? "from" : "call"], UINT64_MAX);
    if (fault.call == 0)
        reject(line, "calls are counted from 1");
    if (found.count("error")) {
        if (isFirewallMethod(name))
            reject(line, "firewall methods report failures by their result, not error=");
        fault.error = static_cast<std::uint32_t>(number(line, found["error"], UINT32_MAX));
    }
    if (found.count("errno")) {
        if (isFirewallMethod(name))
            reject(line, "firewall methods report failures by their result, not errno=");
        fault.crtError = static_cast<int>(number(line, found["errno"], INT32_MAX));
    }
    fault.value = number(line, found["return"], UINT64_MAX);
    function(plan, name).faults.push_back(fault);
}

// "hang" and "pause": the call stops before anything of it is done, for ever or until resumed.
void stopLine(Plan& plan, const Line& line)
{
    const std::string name = functionName(line);
    if (isFirewallMethod(name))
        reject(line, "\"" + line.words[0] + "\" applies to imports only");
    auto found = options(line, 2, {"call"});
    if (!found.count("call"))
        reject(line, "give call= (the call that stops)");
    Fault fault;
    fault.call = number(line, found["call"], UINT64_MAX);
    if (fault.call == 0)
        reject(line, "calls are counted from 1");
    fault.hang = line.words[0] == "hang";
    fault.pause = !fault.hang;
    function(plan, name).faults.push_back(fault);
}

void recordLine(Plan& plan, const Line& line)
{
    const std::string name = functionName(line);
    if (isFirewallMethod(name))
        reject(line, "firewall methods are always recorded");
    auto found = options(line, 2, {"args"});
    PlannedFunction& planned = function(plan, name);
    planned.recorded = true;
    planned.arguments.clear();
    std::stringstream kinds(found["args"]);
    for (std::string kind; std::getline(kinds, kind, ',');) {
        if (kind == "d")
            planned.arguments.push_back(ArgumentKind::decimal);
        else if (kind == "x")
            planned.arguments.push_back(ArgumentKind::hex);
        else if (kind == "p")
            planned.arguments.push_back(ArgumentKind::pointer);
        else if (kind == "ws")
            planned.arguments.push_back(ArgumentKind::wideText);
        else if (kind == "s")
            planned.arguments.push_back(ArgumentKind::narrowText);
        else if (kind == "acl")
            planned.arguments.push_back(ArgumentKind::accessList);
        else if (kind == "sa")
            planned.arguments.push_back(ArgumentKind::securityAttributes);
        else if (kind == "sd")
            planned.arguments.push_back(ArgumentKind::descriptor);
        else if (kind == "h")
            planned.arguments.push_back(ArgumentKind::handle);
        else
            reject(line, "argument kind \"" + kind + "\" is not d, x, p, ws, s, acl, sa, sd or h");
    }
    if (planned.arguments.size() > 12)
        reject(line, "at most 12 arguments are recorded");
}

void expectFunction(const Line& line, const char* expected)
{
    if (functionName(line) != expected)
        reject(line, "\"" + line.words[0] + "\" applies only to " + expected);
}

void timeLine(Plan& plan, const Line& line)
{
    auto found = options(line, 2, {"year", "month", "day", "hour", "minute", "second", "milliseconds"});
    const auto field = [&](const char* name, std::uint64_t low, std::uint64_t high) {
        if (!found.count(name))
            return static_cast<std::uint16_t>(low);
        const std::uint64_t value = number(line, found[name], high);
        if (value < low)
            reject(line, std::string(name) + "= is below " + std::to_string(low));
        return static_cast<std::uint16_t>(value);
    };
    plan.time = SystemTime{field("year", 1601, 30827), field("month", 1, 12),  field("day", 1, 31),
                           field("hour", 0, 23),       field("minute", 0, 59), field("second", 0, 59),
                           field("milliseconds", 0, 999)};
}

void ownerLine(Plan& plan, const Line& line)
{
    auto found = options(line, 2, {"owner", "call", "list"});
    if (found.count("list") && (found.count("owner") || found.count("call") || !found["list"].starts_with("D:")))
        reject(line, "give list= alone, in security descriptor words (D:...)");
    if (found.count("list")) {
        plan.owners.list = found["list"];
        return;
    }
    const std::string& owner = found["owner"];
    if (owner.rfind("S-1-", 0) != 0)
        reject(line, "give owner= as a SID in its string form (S-1-...)");
    if (!found.count("call"))
        plan.owners.all = owner;
    else
        plan.owners.calls.emplace_back(number(line, found["call"], UINT64_MAX), owner);
}

void diskLine(Plan& plan, const Line& line)
{
    auto found = options(line, 2, {"free", "total"});
    if (!found.count("free"))
        reject(line, "give free= (bytes available to the caller)");
    DiskSpace disk;
    disk.free = number(line, found["free"], UINT64_MAX);
    disk.total = found.count("total") ? number(line, found["total"], UINT64_MAX)
                                      : (disk.free > UINT64_MAX / 2 ? UINT64_MAX : disk.free * 2);
    if (disk.total < disk.free)
        reject(line, "total= is smaller than free=");
    plan.disk = disk;
}

void machineLine(Plan& plan, const Line& line)
{
    if (line.words.size() == 3 && line.words[2] == "missing") {
        plan.machine = NativeMachine{true, 0};
        return;
    }
    auto found = options(line, 2, {"native"});
    if (!found.count("native"))
        reject(line, "give native= (a machine number) or missing");
    plan.machine = NativeMachine{false, static_cast<std::uint16_t>(number(line, found["native"], 0xFFFF))};
}

void desktopLine(Plan& plan, const Line& line)
{
    auto found = options(line, 2, {"desktop"});
    if (found["desktop"] != "none" && found["desktop"] != "shown")
        reject(line, "give desktop=none (no desktop shell answers) or desktop=shown");
    plan.desktopShown = found["desktop"] == "shown";
}

void policyLine(Plan& plan, const Line& line)
{
    auto found = options(line, 2, {"profiles", "modify", "partial", "enabled", "off", "blockall"});
    if (found.count("profiles"))
        plan.firewallProfiles = static_cast<std::int32_t>(number(line, found["profiles"], 7));
    if (found.count("modify"))
        plan.firewallModifyState = static_cast<std::int32_t>(number(line, found["modify"], 2));
    if (found.count("enabled"))
        plan.firewallOff = number(line, found["enabled"], 1) != 0 ? 0 : 7;
    if (found.count("off"))
        plan.firewallOff = static_cast<std::int32_t>(number(line, found["off"], 7));
    if (found.count("blockall"))
        plan.firewallBlockAll = static_cast<std::int32_t>(number(line, found["blockall"], 7));
    if (found.count("partial"))
        plan.firewallPartial = number(line, found["partial"], 1) != 0;
}

void valueLine(Plan& plan, const Line& line)
{
    const std::string name = functionName(line);
    if (name == "GetDiskFreeSpaceExW")
        diskLine(plan, line);
    else if (name == "GetSystemTime")
        timeLine(plan, line);
    else if (name == "GetSecurityInfo" || name == "GetNamedSecurityInfoW")
        ownerLine(plan, line);
    else if (name == "IsWow64Process2")
        machineLine(plan, line);
    else if (name == "ShellWindows")
        desktopLine(plan, line);
    else if (name == "INetFwPolicy2")
        policyLine(plan, line);
    else
        reject(line, "\"value\" applies only to GetDiskFreeSpaceExW, GetSystemTime, GetSecurityInfo, "
                     "IsWow64Process2, ShellWindows and INetFwPolicy2");
}

int answer(const Line& line, const std::string& word)
{
    for (const auto& [name, value] : answerNames)
        if (word == name)
            return value;
    if (!std::isdigit(static_cast<unsigned char>(word[0])))
        reject(line, "\"" + word + "\" is not a message box result");
    return static_cast<int>(number(line, word, 0x7FFFFFFF));
}

void answerLine(Plan& plan, const Line& line)
{
    expectFunction(line, "MessageBoxW");
    Answers answers;
    std::size_t i = 2;
    for (; i < line.words.size() && line.words[i].find('=') == std::string::npos; ++i)
        answers.script.push_back(answer(line, line.words[i]));
    auto found = options(line, i, {"otherwise"});
    if (found.count("otherwise"))
        answers.otherwise = answer(line, found["otherwise"]);
    plan.answers = answers;
}

void fastLine(Plan& plan, const Line& line)
{
    const std::string name = functionName(line);
    if (name != "Sleep" && name != "WaitForSingleObject")
        reject(line, "\"fast\" applies only to Sleep and WaitForSingleObject");
    auto found = options(line, 2, {"max"});
    const std::uint32_t cap =
        found.count("max") ? static_cast<std::uint32_t>(number(line, found["max"], 0xFFFFFFFE)) : 0;
    (name == "Sleep" ? plan.sleepCap : plan.waitCap) = cap;
}

std::vector<Line> lines(const std::string& text)
{
    std::vector<Line> result;
    std::stringstream stream(text);
    int number = 0;
    for (std::string raw; std::getline(stream, raw);) {
        ++number;
        raw = raw.substr(0, raw.find('#'));
        std::stringstream words(raw);
        Line line{number, {}};
        for (std::string word; words >> word;)
            line.words.push_back(word);
        if (!line.words.empty())
            result.push_back(std::move(line));
    }
    return result;
}

} // namespace

bool isFirewallMethod(const std::string& name)
{
    return std::find(firewallMethods.begin(), firewallMethods.end(), name) != firewallMethods.end();
}

Plan parsePlan(const std::string& text, const std::string& image)
{
    Plan mine;
    Plan others; // lines for other images are checked just the same, then dropped
    Plan* target = &mine;
    for (const Line& line : lines(text)) {
        const std::string& directive = line.words[0];
        if (directive == "process") {
            if (line.words.size() != 2)
                reject(line, "expected one image name or *, as in: process Uninstall.exe");
            const bool applies = line.words[1] == "*" || lower(line.words[1]) == lower(image);
            target = applies ? &mine : &others;
        } else if (directive == "fail") {
            failLine(*target, line);
        } else if (directive == "hang" || directive == "pause") {
            stopLine(*target, line);
        } else if (directive == "record") {
            recordLine(*target, line);
        } else if (directive == "value") {
            valueLine(*target, line);
        } else if (directive == "answer") {
            answerLine(*target, line);
        } else if (directive == "fast") {
            fastLine(*target, line);
        } else {
            reject(line, "unknown directive \"" + directive + "\"");
        }
    }
    return mine;
}
