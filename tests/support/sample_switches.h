#pragma once

// The behaviour switches of the sample console (sample-console/README.md), for tests that need
// a console that misbehaves in a given way. The file lives in ProgramData, so only tests with a
// prefix of their own (FRESH_PREFIX) may set switches.

// Writes "key=value" in [section] of ProgramData\Quellmark Sample Console\switches.ini.
void setSampleSwitch(const wchar_t* section, const wchar_t* key, int value);

// Deletes the switches file: every switch off.
void clearSampleSwitches();
