#include "core/command_line.h"

#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <stdexcept>

#include "common/handles.h"

CommandLine parseCommandLine(const std::vector<std::wstring>& arguments)
{
    CommandLine result;
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (arguments[i] == L"--uninstall") {
            result.uninstall = true;
        } else if (arguments[i] == L"--parent" && i + 1 < arguments.size()) {
            // The next argument is taken whatever it is; wcstoul gives 0 when it has no digits
            // and the largest value when it overflows.
            result.parent = std::wcstoul(arguments[++i].c_str(), nullptr, 10);
        } else {
            throw std::runtime_error("Unknown setup option");
        }
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
