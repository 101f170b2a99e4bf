#include "core/command_line.h"

#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <optional>
#include <stdexcept>

#include "common/handles.h"
#include "common/port.h"
#include "common/text.h"

namespace {

[[noreturn]] void refuseUnknown()
{
    throw std::runtime_error("Unknown setup option");
}

// The options of an unattended run, each with the run mode it belongs to (none: both). The log's
// serve a windowed run too.
struct QuietOption {
    const wchar_t* name;
    bool takesValue;
    int mode; // 0 both, 1 install, 2 uninstall
    bool quietOnly = true;
};

constexpr QuietOption QUIET_OPTIONS[] = {{L"--port", true, 1},
                                         {L"--no-firewall", false, 1},
                                         {L"--delete-data", false, 2},
                                         {L"--log", true, 0, false},
                                         {L"--log-id", true, 0, false}};

const QuietOption* quietOption(const std::wstring& argument)
{
    for (const QuietOption& option : QUIET_OPTIONS)
        if (argument == option.name)
            return &option;
    return nullptr;
}

void take(CommandLine& result, const std::wstring& name, const std::wstring& value)
{
    if (name == L"--port") {
        const std::optional<unsigned> port = portFromText(value.c_str());
        if (!port)
            throw std::runtime_error(narrow(PORT_REFUSED));
        result.port = *port;
    } else if (name == L"--no-firewall") {
        result.firewall = false;
    } else if (name == L"--delete-data") {
        result.deleteData = true;
    } else if (name == L"--log") {
        result.log = value;
    } else {
        result.logIdentity = value;
    }
}

// Each option of an unattended run but the log's belongs to it and to one run mode.
void refuseMisplaced(const CommandLine& result, const std::vector<std::wstring>& arguments)
{
    for (const std::wstring& argument : arguments) {
        const QuietOption* option = quietOption(argument);
        if (option == nullptr || !option->quietOnly)
            continue;
        const std::string name = narrow(option->name);
        if (!result.quiet)
            throw std::runtime_error("The option " + name + " is for unattended runs only: add --quiet.");
        if (option->mode == (result.uninstall ? 1 : 2))
            throw std::runtime_error("The option " + name + " is not for " +
                                     (result.uninstall ? "an uninstallation." : "an installation."));
    }
}

} // namespace

CommandLine parseCommandLine(const std::vector<std::wstring>& arguments)
{
    CommandLine result;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const QuietOption* option = quietOption(arguments[i]);
        if (arguments[i] == L"--uninstall") {
            result.uninstall = true;
        } else if (arguments[i] == L"--quiet") {
            result.quiet = true;
        } else if (arguments[i] == L"--parent" && i + 1 < arguments.size()) {
            // The next argument is taken whatever it is; wcstoul gives 0 when it has no digits
            // and the largest value when it overflows.
            result.parent = std::wcstoul(arguments[++i].c_str(), nullptr, 10);
        } else if (option != nullptr && (!option->takesValue || i + 1 < arguments.size())) {
            take(result, option->name, option->takesValue ? arguments[++i] : L"");
        } else {
            refuseUnknown();
        }
    }
    refuseMisplaced(result, arguments);
    return result;
}

CommandLine unattendedPart(const std::vector<std::wstring>& arguments)
{
    CommandLine result;
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == L"--quiet")
            result.quiet = true;
        else if (arguments[i] == L"--log" && i + 1 < arguments.size())
            result.log = arguments[++i];
        else if (arguments[i] == L"--log-id" && i + 1 < arguments.size())
            result.logIdentity = arguments[++i];
        else if (const QuietOption* option = quietOption(arguments[i]); arguments[i] == L"--parent" ||
                                                                         (option != nullptr && option->takesValue))
            ++i; // a value, which may look like an option
    }
    return result;
}

std::vector<std::wstring> commandLineArguments()
{
    int count = 0;
    const LocalPtr<wchar_t*> split(CommandLineToArgvW(GetCommandLineW(), &count));
    std::vector<std::wstring> arguments;
    for (int i = 1; split && i < count; ++i)
        arguments.emplace_back(split.get()[i]);
    return arguments;
}
