#pragma once

#include <filesystem>
#include <string>

// The log of an unattended run, which a deployment tool leaves for the administrator to read:
// one line per event, the local time first, UTF-8, appended as the run goes, so that a run that
// is killed leaves what it did so far and a reader sees each line as soon as it is written.

// Where the log goes: path (its folder made when it is missing), or, when it is empty, a new file
// in the Windows folder's Temp, which
// exists for every account (LocalSystem included), named after the time and this process so that
// no run writes into another's log. Returns the path. Never raises: a run whose log cannot be
// written still does its work, and its exit code still tells the tool how it went.
std::filesystem::path startRunLog(const std::filesystem::path& path);

// Appends one event. Lines of a text after its first are indented, so that every line that
// starts at the left begins an event. Never raises.
void logEvent(const std::wstring& text) noexcept;
