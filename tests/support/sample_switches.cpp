#include "tests/support/sample_switches.h"

#include <windows.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "common/folders.h"

namespace {

// Spelled out here rather than taken from the sample's code, so that a test notices when the
// sample reads its switches from anywhere else.
std::filesystem::path switchesPath()
{
    return known(FOLDERID_ProgramData) / L"Quellmark Sample Console" / L"switches.ini";
}

} // namespace

void setSampleSwitch(const wchar_t* section, const wchar_t* key, int value)
{
    const std::filesystem::path file = switchesPath();
    std::filesystem::create_directories(file.parent_path());
    if (!WritePrivateProfileStringW(section, key, std::to_wstring(value).c_str(), file.c_str()))
        throw std::runtime_error("cannot write the sample console's switches");
}

void clearSampleSwitches()
{
    std::filesystem::remove(switchesPath());
}
