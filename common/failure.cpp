#include "common/failure.h"

#include <windows.h>

#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>

#include "common/text.h"

namespace {

// The system's message for a code, exactly as Windows words it: nothing is trimmed, so the text
// keeps the line break that system messages end with. Nothing when Windows has no message.
std::optional<std::string> systemMessage(DWORD code)
{
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    if (buffer == nullptr)
        return std::nullopt;
    std::string text = narrow(std::wstring(buffer, length));
    LocalFree(buffer);
    return text;
}

[[noreturn]] void raiseLastError(const char* step)
{
    const DWORD code = GetLastError(); // first, before any other call can change it
    std::string text = std::string(step) + " (" + std::to_string(code) + ")";
    if (const auto message = systemMessage(code))
        text += ": " + *message;
    throw std::runtime_error(text);
}

[[noreturn]] void raiseComResult(long result, const char* step)
{
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08lX", static_cast<unsigned long>(result) & 0xFFFFFFFFUL);
    std::string text = std::string(step) + " (HRESULT 0x" + hex + ")";
    // The COM form speaks only when the lookup produced characters.
    if (const auto message = systemMessage(static_cast<DWORD>(result)); message && !message->empty())
        text += ": " + *message;
    throw std::runtime_error(text);
}

} // namespace

void require(bool ok, const char* step)
{
    if (!ok)
        raiseLastError(step);
}

void requireCode(bool ok, unsigned long code, const char* step)
{
    if (ok)
        return;
    SetLastError(static_cast<DWORD>(code));
    raiseLastError(step);
}

void firewallCheck(long result, const char* step)
{
    if (result < 0)
        raiseComResult(result, step);
}

std::wstring caughtFailureText() noexcept
{
    try {
        try {
            throw;
        } catch (const std::exception& failure) {
            return displayText(failure.what());
        } catch (...) {
            return L"Setup stopped because of an unexpected internal error.";
        }
    } catch (...) {
        return {}; // only a failed allocation of the fixed sentence gets here
    }
}
