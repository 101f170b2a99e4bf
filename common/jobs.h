#pragma once

#include <windows.h>

#include "common/handles.h"

// Processes that end with the process that started them, however it ends.

// A job that ends every process in it when its last handle closes: the system closes it when the
// process that holds it ends, a kill and a crash included. Raises "<step> (<code>)".
UniqueHandle killOnCloseJob(const char* step);

// Puts a process started suspended into job before it runs an instruction of its own, so that
// nothing it starts escapes. A process that cannot join is ended without ever running, and
// "<step> (<code>)" is raised with the error of the join.
void joinJob(HANDLE job, HANDLE process, const char* step);
