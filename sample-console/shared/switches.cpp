#include "sample-console/shared/switches.h"

#include <windows.h>

#include <exception>

#include "common/folders.h"

std::filesystem::path switchesFile()
{
    return known(FOLDERID_ProgramData) / L"Quellmark Sample Console" / L"switches.ini";
}

int readSwitch(const wchar_t* section, const wchar_t* key)
{
    try {
        return static_cast<int>(GetPrivateProfileIntW(section, key, 0, switchesFile().c_str()));
    } catch (const std::exception&) {
        return 0; // ProgramData not found: every switch is off, and the sample behaves as a real console
    }
}
