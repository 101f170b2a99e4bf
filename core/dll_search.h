#pragma once

// Makes System32 the only folder that this process loads DLLs from by name, from the call on.
// Call it first thing in the entry point.
void restrictDllSearch();
