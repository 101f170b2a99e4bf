#pragma once

#include <string>

// Every failure travels as a std::runtime_error whose text is a complete UTF-8 message for the
// user. These two checks build that text from a step name and the system's own error.

// Returns at once when ok is true, without touching the thread's last error. Otherwise raises
// "<step> (<last error in decimal>)" followed by ": " and the system's message when it has one.
void require(bool ok, const char* step);

// The same for a call that returns its error code instead of setting the thread's last error
// (a CNG status, an HRESULT of the shell): when ok is false, code becomes the last error and so
// the code in the text. When ok is true nothing is read or changed.
void requireCode(bool ok, unsigned long code, const char* step);

// Returns at once for a success HRESULT (zero or positive). Otherwise raises
// "<step> (HRESULT 0x<eight upper-case hex digits>)" followed by ": " and the system's message
// when it has one.
void firewallCheck(long result, const char* step);

// The text of the exception being handled, for showing to the user; call it only inside a catch
// block. A standard exception gives its message through displayText, so that a system message in
// the ANSI code page cannot raise again at the catch site; anything else gives a fixed sentence.
// Never raises.
std::wstring caughtFailureText() noexcept;
