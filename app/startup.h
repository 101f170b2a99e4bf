#pragma once

#include <windows.h>

#include <string>

#include "common/handles.h"

// The start-up sequence of the wizard process, from the command line to the end of the message
// loop.

// Reads the command line, starts the log that "--log" asks for, checks the host, hands an
// uninstall over to a temporary copy, waits for a parent wizard, takes the machine-wide lock (into
// lock, which the caller closes last), runs the wizard window and schedules the removal of a
// temporary copy. Returns the exit code. A failure is shown in the error box (showStartupFailure)
// and ends the run with exit code 1; what escapes even that, the entry point shows.
int runWizard(HINSTANCE instance, int showCommand, UniqueHandle& lock);

// Shows a failure that ended the start-up in an error box without owner (noted in a run's log).
void showStartupFailure(const std::wstring& text) noexcept;

// Pieces that the unattended run shares with the wizard:

// Takes the machine-wide lock that lets one setup or uninstall wizard run at a time; empty when
// another holds it. Raises "Lock Console setup" when it cannot be asked.
UniqueHandle takeLock();
inline constexpr char ANOTHER_WIZARD_OPEN[] = "Another Quellmark Console setup or uninstall wizard is already open.";

// A temporary uninstall copy notes its session folder, which it leaves to the next restart.
void rememberSessionFolder();

// Schedules the session folder noted so for deletion at the next restart, once.
void scheduleSessionRemoval();
