#include <windows.h>
#include <objbase.h>

#include <exception>

#include "common/product.h"
#include "common/text.h"
#include "core/command_line.h"
#include "core/host.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    // The window thread keeps its single-threaded apartment for the whole run; a failure here
    // shows up later, in the firewall step, with its own message.
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    try {
        [[maybe_unused]] const CommandLine commandLine = parseCommandLine(commandLineArguments());
        checkHost();
        // The wizard window and its message loop come here with the start-up sequence.
    } catch (const std::exception& failure) {
        MessageBoxW(nullptr, widen(failure.what()).c_str(), PRODUCT, MB_ICONERROR);
        CoUninitialize();
        return 1;
    }
    CoUninitialize();
    return 0;
}
