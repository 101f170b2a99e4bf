#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// The fault plan: what the shim does differently in one process. The text format is described
// in README.md; parsePlan keeps only the lines that apply to the given image name.

struct Fault {
    std::uint64_t call = 0;   // 1-based call number of the function in this process
    bool onward = false;      // also every later call ("from=")
    std::optional<std::uint32_t> error; // last error to set; none leaves it as it was
    std::optional<int> crtError;        // the C runtime's errno to set ("errno="), for its functions
    std::uint64_t value = 0;  // what the call returns (rax)
    bool hang = false;        // "hang": the call never returns, so that a test can kill the process there
    bool pause = false;       // "pause": the call waits until the test resumes the session, then goes on
};

// How "record" writes an argument: d and x a 32-bit number in decimal or hexadecimal (the upper
// half of a 64-bit argument slot is undefined for those), p a 64-bit pointer or handle in
// hexadecimal, ws a UTF-16 text, s a text in the ANSI code page; texts are written as UTF-8.
// acl an access list and sa security attributes, both in security descriptor words.
enum class ArgumentKind { decimal, hex, pointer, wideText, narrowText, accessList, securityAttributes, descriptor, handle };

struct PlannedFunction {
    std::string name;              // an import name, or Interface::Method of the firewall objects
    std::vector<Fault> faults;     // in plan order; the first that matches a call wins
    bool recorded = false;         // "record": every call is written to the record file
    std::vector<ArgumentKind> arguments; // what "record" writes of each call, in argument order
};

struct DiskSpace {
    std::uint64_t free = 0;  // bytes available to the caller and free in total
    std::uint64_t total = 0; // size of the volume
};

// What IsWow64Process2 looks like to the program: found by GetProcAddress and answering this
// native machine, or missing, as on Windows 10 before version 1709.
struct NativeMachine {
    bool missing = false;
    std::uint16_t native = 0; // an IMAGE_FILE_MACHINE_* value
};

struct SystemTime {
    std::uint16_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, milliseconds = 0;
};

// The owner that GetSecurityInfo and GetNamedSecurityInfoW report for files and folders: a
// default for every call, and owners for single calls (1-based); and the access list they
// report, when the plan gives one.
struct Owners {
    std::string all = "S-1-5-32-544"; // Administrators: the owner of what an elevated setup creates
    std::vector<std::pair<std::uint64_t, std::string>> calls;
    std::string list; // in security descriptor words ("D:P(...)"); empty: Wine's own
};

struct Answers {
    std::vector<int> script; // MessageBoxW results, one per call, in order
    int otherwise = 2;       // once the script has run out (IDCANCEL unless the plan says)
};

struct Plan {
    std::vector<PlannedFunction> functions;  // one per name, in order of first mention
    std::optional<DiskSpace> disk;           // "value GetDiskFreeSpaceExW"
    std::optional<NativeMachine> machine;    // "value IsWow64Process2"
    std::optional<SystemTime> time;          // "value GetSystemTime"
    Owners owners;                           // "value GetSecurityInfo" (or GetNamedSecurityInfoW)
    std::optional<Answers> answers;          // "answer MessageBoxW"
    std::optional<std::uint32_t> sleepCap;   // "fast Sleep": no pause is longer than this (ms)
    std::optional<std::uint32_t> waitCap;    // "fast WaitForSingleObject": no wait is longer (ms)
    bool desktopShown = true;                // "value ShellWindows desktop=none" makes it false
    std::optional<std::int32_t> firewallProfiles, firewallModifyState, firewallOff, firewallBlockAll; // "value INetFwPolicy2"
    bool firewallPartial = false;
};

// Raised for a malformed plan; the text names the line ("plan line 3: ...").
struct PlanError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Every line is checked, whichever process it is for, so that a plan fails in the first process
// that reads it. image is the file name of the process's main module.
Plan parsePlan(const std::string& text, const std::string& image);

// True for the Interface::Method names whose calls the shim can fault.
bool isFirewallMethod(const std::string& name);
