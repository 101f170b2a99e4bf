// Runs the install or uninstall sequence without the wizard window, printing every progress
// report, so that an installation can be run, timed and looked at from a script or a test.
//
//   headless_setup install <port> <firewall: 0|1>
//   headless_setup uninstall <delete data: 0|1>
//
// Prints "<percent> <status>" per report, then "done" or "failed: <text>"; exits 0 or 1. A
// firewall failure prompt has no owner window here.

#include <windows.h>
#include <fcntl.h>
#include <io.h>
#include <objbase.h>

#include <cstdio>
#include <cwchar>
#include <exception>
#include <string>

#include "common/text.h"
#include "common/wizard_state.h"
#include "core/dll_search.h"
#include "engine/install.h"
#include "engine/uninstall.h"
#include "ui/firewall_prompt.h"

namespace {

void print(const std::string& line)
{
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout); // a test reading the pipe sees each report as it happens
}

void report(int percent, const std::wstring& status)
{
    print(std::to_string(percent) + " " + narrow(status) + "\n");
}

bool flag(const wchar_t* text)
{
    return std::wcscmp(text, L"1") == 0;
}

int usage()
{
    print("usage: headless_setup install <port> <firewall 0|1> | uninstall <delete data 0|1>\n");
    return 2;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    restrictDllSearch(); // the engine loads DLLs under the same rules as in the wizard
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (!((mode == L"install" && argc == 4) || (mode == L"uninstall" && argc == 3)))
        return usage();
    // Failure texts carry their own CR LF pairs; they are passed on byte for byte.
    _setmode(_fileno(stdout), _O_BINARY);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    askFirewall = askFirewallFailure; // the wizard's own box, without an owner window
    int code = 0;
    try {
        if (mode == L"install") {
            install(static_cast<unsigned>(std::wcstoul(argv[2], nullptr, 10)), flag(argv[3]), report);
            print(std::string("done firewallAdded=") + (firewallAdded ? "1" : "0") +
                  (firewallNotice.empty() ? "" : " notice=" + narrow(firewallNotice)) + "\n");
        } else {
            uninstall(flag(argv[2]), report);
            print("done\n");
        }
    } catch (const std::exception& problem) {
        print("failed: " + std::string(problem.what()) + "\n");
        code = 1;
    }
    CoUninitialize();
    return code;
}
