#pragma once

#include <filesystem>

// Behaviour switches of the sample console, so that one build of the sample can play every
// console a test needs: healthy, wrong version, silent, stuck on stop, failing at start, and an
// interpreter that fails or hangs. They live in
// ProgramData\Quellmark Sample Console\switches.ini, outside every folder that setup installs,
// removes or protects, so that a test can set them before setup runs and no package changes.

std::filesystem::path switchesFile();

// The switch's value, or 0 when the file, the section or the key is missing. The file is read
// on every call, so a switch changed while a program runs takes effect at its next read. Never
// raises: the service reads switches inside its control handler.
int readSwitch(const wchar_t* section, const wchar_t* key);
