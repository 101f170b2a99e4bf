#pragma once

#include <windows.h>

#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/handles.h"
#include "tests/support/processes.h"

// The test side of qmshim.dll (tests/shim/README.md): a session holds one plan and one record
// file in the temporary folder, named to the shim and to every process it follows through
// QM_SHIM_PLAN and QM_SHIM_RECORDS. Each load or start below begins a new session, and raises
// std::runtime_error when the shim refuses the plan or the plan names a function that the
// target does not import.

struct ShimRecord {
    DWORD process = 0;
    std::string image;    // file name of the process's main module, e.g. "shim_probe.exe"
    std::string function; // e.g. "CreateFileW", "INetFwRule::put_Name", "shim.loaded"
    std::vector<std::pair<std::string, std::string>> fields; // name=value, in written order

    bool has(std::string_view name) const;
    const std::string& operator[](std::string_view name) const; // raises when absent
};

// Loads the shim into this test process: imports of the test program itself are intercepted
// until unloadShim.
void loadShim(const std::string& plan);

// Unloads the shim (its import slots and object tables are put back), ends the session and
// deletes its files. Harmless when nothing is loaded; call it in TearDown.
void unloadShim();

struct ShimProcess {
    UniqueHandle process;
    DWORD id = 0;
};

// Starts program suspended, loads the shim into it and lets it run. Handles are not inherited.
ShimProcess startWithShim(const std::filesystem::path& program, const std::wstring& arguments,
                          const std::string& plan);

// The same, waiting up to timeoutMs for the end and collecting standard output and error.
ProcessResult runWithShim(const std::filesystem::path& program, const std::wstring& arguments,
                          const std::string& plan, DWORD timeoutMs = 60000);

// Lets every call of the session that a "pause" line stopped go on.
void resumeShim();

// Whether the current session has a record of function yet. Safe to ask while the session's
// processes are still writing: a record being appended is not mistaken for a malformed one.
bool shimRecorded(std::string_view function);

// Records of the current session, in file order; with a function name, only that function's.
std::vector<ShimRecord> readShimRecords();
std::vector<ShimRecord> readShimRecords(std::string_view function);

// Each record of function as "name=value" of the named fields that it has, joined by blanks, in
// file order: several fields of several calls stated in one expression.
std::vector<std::string> recordedFields(std::string_view function, std::initializer_list<std::string_view> names);
