#pragma once

#include <filesystem>
#include <string>

// The interpreter's arguments for the runtime probe: isolated mode, no bytecode files, and a
// program that puts backend at the front of the import path and imports the web application.
std::wstring runtimeProbeArguments(const std::filesystem::path& backend);

// Proves that the bundled runtime under application can start the console's backend, before
// any service is registered. Raises "The bundled runtime could not start..." on a non-zero exit
// code, after writing the exit code and what the interpreter wrote to the setup log; the
// helper's own failures ("Run Windows helper", "Windows helper timed out") pass up.
void checkRuntime(const std::filesystem::path& application);
