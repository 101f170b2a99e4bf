#pragma once

#include <string>

// UTF-8 to UTF-16. Raises "Invalid UTF-8 text" for input that is not well-formed UTF-8,
// including a sequence cut off at the end; nothing is partly converted.
std::wstring widen(const std::string& text);

// UTF-16 to UTF-8. Never fails on content: an unpaired surrogate becomes U+FFFD.
std::string narrow(const std::wstring& text);

// One argument in the form that CommandLineToArgvW and the C runtime read back as exactly that
// argument: always in quotation marks, backslashes doubled only where a quotation mark follows.
std::wstring quote(const std::wstring& argument);

// A failure text for showing to the user, where raising again would lose the failure: valid
// UTF-8 converts exactly as widen does; anything else is read in the system's ANSI code page,
// which is what the standard library's file-system errors carry. Never raises.
std::wstring displayText(const std::string& text) noexcept;
