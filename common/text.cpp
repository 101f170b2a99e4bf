#include "common/text.h"

#include <windows.h>

#include <stdexcept>

std::wstring widen(const std::string& text)
{
    if (text.empty())
        return {};
    const int bytes = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), bytes, nullptr, 0);
    if (length == 0)
        throw std::runtime_error("Invalid UTF-8 text");
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), bytes, wide.data(), length);
    return wide;
}

std::string narrow(const std::wstring& text)
{
    // No error flag: an unpaired surrogate is written as U+FFFD instead of failing the call.
    const int units = static_cast<int>(text.size());
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), units, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), units, result.data(), length, nullptr, nullptr);
    return result;
}

std::wstring quote(const std::wstring& argument)
{
    std::wstring result = L"\"";
    size_t backslashes = 0; // pending run, written once we know what follows it
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
        } else if (c == L'"') {
            result.append(2 * backslashes + 1, L'\\');
            result += c;
            backslashes = 0;
        } else {
            result.append(backslashes, L'\\');
            result += c;
            backslashes = 0;
        }
    }
    // The closing quotation mark follows, so the pending run is doubled.
    result.append(2 * backslashes, L'\\');
    result += L'"';
    return result;
}

std::wstring displayText(const std::string& text) noexcept
{
    try {
        return widen(text);
    } catch (...) {
        // Not UTF-8: fall through to the code page the text most likely came from.
    }
    try {
        const int bytes = static_cast<int>(text.size());
        const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), bytes, nullptr, 0);
        std::wstring wide(static_cast<size_t>(length), L'\0');
        MultiByteToWideChar(CP_ACP, 0, text.data(), bytes, wide.data(), length);
        return wide;
    } catch (...) {
        return {}; // only a failed allocation gets here
    }
}
