#pragma once

#include <string>

#include "core/command_line.h"

// The log of a run, which a deployment tool leaves for the administrator to read, or which support
// staff ask a user to write with the window: one line per event, the local time first, UTF-8,
// appended as the run goes, so that a run that is killed leaves what it did so far and a reader
// sees each line as soon as it is written. One handle serves the whole run.

// Opens the log that the command line names (its log and logIdentity), or, without one, a new
// file in the Windows folder's Temp, which exists for every account (LocalSystem included), named
// after the time and this process so that no run writes into another's log.
//
// A log of the user's choosing is made a full path once, against the current folder as the run
// starts. Everything on its way, from the drive's root down to the file, is looked at itself,
// never through a link: each must be owned by the system, Administrators or TrustedInstaller; a
// link so owned is followed, and where it leads is looked at in the same way from its own root;
// folders that are missing and the file are created owned by Administrators, one at a time;
// the folders stay held for the run, so that nobody can rename or replace them. The file must
// have no other name (hard link), and with logIdentity it must be the file that identity names.
// Where any of that fails, the run logs to the default place and gets the refusal back: a
// complete sentence that names the file and says what to do. Returns empty otherwise. Never
// raises: a run whose log cannot be written still does its work.
std::wstring startRunLog(const CommandLine& commandLine) noexcept;

// Appends one event. Lines of a text after its first are indented, so that every line that
// starts at the left begins an event. Does nothing without a log. Never raises.
void logEvent(const std::wstring& text) noexcept;

// Appends one progress report.
void logProgress(int percent, const std::wstring& status);

// The options that hand the log to an uninstall's temporary copy, each with a blank before it:
// the full path and the file's identity (its volume and file id), which the copy checks. Empty
// without a log. Raises "Identify log file" when the identity cannot be read.
std::wstring logOptions();
