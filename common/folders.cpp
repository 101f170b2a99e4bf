#include "common/folders.h"

#include <string>

#include "common/failure.h"
#include "common/handles.h"
#include "common/product.h"

std::filesystem::path exePath()
{
    std::wstring buffer(32768, L'\0');
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), 32768);
    // A full buffer means the name was cut short; a truncated path is never returned.
    require(length > 0 && length < 32768, "Get executable path");
    buffer.resize(length);
    return buffer;
}

std::filesystem::path known(const KNOWNFOLDERID& folder)
{
    wchar_t* raw = nullptr;
    // Flags 0: the folder is neither created nor verified.
    const HRESULT result = SHGetKnownFolderPath(folder, 0, nullptr, &raw);
    const CoTaskPtr<wchar_t> owned(raw);
    // The shell returns its failure and leaves the thread's last error alone.
    requireCode(result >= 0, static_cast<unsigned long>(result), "Locate Windows folder");
    return std::filesystem::path(owned.get());
}

std::filesystem::path appDir()
{
    return known(FOLDERID_ProgramFiles) / MAKER / PRODUCT;
}

std::filesystem::path dataDir()
{
    return known(FOLDERID_ProgramData) / MAKER / PRODUCT;
}

std::filesystem::path shortcuts()
{
    return known(FOLDERID_CommonPrograms) / PRODUCT;
}

std::filesystem::path setupLog()
{
    return dataDir() / L"logs" / L"setup.log";
}
