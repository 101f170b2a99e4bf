#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/shim/plan.h"

// Interception of the main module's imports. Every patched import slot points to a small stub
// that loads its Entry into r11 and jumps to the common thunk (thunk.S); the thunk asks
// qmShimDecide whether the call fails as planned or for a path too long for Windows, goes to a
// hook, or goes on to the original function with the caller's registers and stack untouched.

struct PathLimit;

struct Entry {
    std::string name;
    void* original = nullptr;    // what the main module imported
    void* replacement = nullptr; // a hook with the same signature, reached instead of original
    bool planned = false;        // named by the plan: the main module must import it
    bool patched = false;
    bool recorded = false;
    std::vector<ArgumentKind> arguments;
    std::vector<Fault> faults;
    const PathLimit* pathLimit = nullptr; // Windows' length limit for its path arguments, if any
    std::atomic<std::uint64_t> calls{0};
};

// The entry of a name, created on first use. Only the shim's start-up creates entries; later
// lookups run concurrently without a lock.
Entry& intercept(const std::string& name);
Entry* findEntry(const std::string& name);
std::vector<Entry*> allEntries();

// Counts one call (thread-safe) and returns the fault planned for it, or null.
const Fault* countCall(Entry& entry, std::uint64_t& call);

// Points every import slot of the main module whose name has an entry to that entry's stub.
// Raises std::runtime_error when the module's imports are not bound yet. Returns the number of
// slots changed.
std::size_t patchMainModule();

// Puts the import slots back and forgets all entries (when the shim is unloaded).
void unpatchMainModule();

template <typename Function>
Function originalOf(const Entry* entry)
{
    return reinterpret_cast<Function>(entry->original);
}
