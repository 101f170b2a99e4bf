#include "engine/settings.h"

#include <windows.h>

#include <string>

#include "engine/markers.h"
#include "package/guarded_files.h"

namespace fs = std::filesystem;

Settings readSettings(const fs::path& application)
{
    const std::wstring file = (application / SETTINGS_FILE).wstring();
    Settings settings;
    settings.port = GetPrivateProfileIntW(L"Console", L"Port", 8080, file.c_str());
    settings.ruleAdded = GetPrivateProfileIntW(L"Console", L"Firewall", 0, file.c_str()) != 0;
    return settings;
}

void writeSettings(const fs::path& application, const Settings& settings)
{
    writeText(application / SETTINGS_FILE, "[Console]\r\nPort=" + std::to_string(settings.port) +
                                               "\r\nFirewall=" + (settings.ruleAdded ? "1" : "0") + "\r\n");
}
