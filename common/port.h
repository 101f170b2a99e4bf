#pragma once

#include <cwchar>
#include <optional>

// The console's HTTP port as an administrator types it, in the settings page's field or after
// "--port": a decimal number from 1024 to 65535. What wcstoul skips or accepts before the digits
// (blanks, a sign, leading zeros) is accepted; a minus sign wraps around far above 65535 and is
// refused with the rest, as are an empty text and anything after the number.
inline std::optional<unsigned> portFromText(const wchar_t* text)
{
    wchar_t* end = nullptr;
    const unsigned long value = std::wcstoul(text, &end, 10);
    if (text[0] == L'\0' || *end != L'\0' || value < 1024 || value > 65535)
        return std::nullopt;
    return static_cast<unsigned>(value);
}

// The refusal of any other text, in the field's box and for "--port".
inline constexpr wchar_t PORT_REFUSED[] = L"Enter a port between 1024 and 65535.";
