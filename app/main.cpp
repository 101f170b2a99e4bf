#include <windows.h>
#include <objbase.h>

#include "common/failure.h"
#include "common/handles.h"
#include "core/dll_search.h"
#include "app/startup.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand)
{
    restrictDllSearch(); // before anything can load a DLL by name
    // The window thread keeps its single-threaded apartment for the whole run; a failure here
    // shows up later, in the firewall step, with its own message.
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    UniqueHandle lock; // released last, after COM
    int exitCode = 1;
    try {
        exitCode = runWizard(instance, showCommand, lock);
    } catch (...) {
        showStartupFailure(caughtFailureText());
    }
    CoUninitialize();
    return exitCode;
}
