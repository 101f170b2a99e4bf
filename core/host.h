#pragma once

// Refuses a machine the console cannot run on, or a process that may not change it: checks, in
// this order, membership of Administrators, an x64 processor and Windows 10 or later, and raises
// the fixed message of the first check that fails. Changes nothing.
void checkHost();
