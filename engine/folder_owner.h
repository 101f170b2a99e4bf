#pragma once

#include <filesystem>

// ProgramData lets every user create folders there, and they own what they create: such a
// folder keeps its owner's control whatever access list setup gives it, and could be swapped
// for a junction while setup writes into it or deletes it.

// Raises, naming the folder, when it exists and is owned by anyone but the local system, the
// Administrators group or TrustedInstaller. A missing folder passes.
void refuseForeignOwner(const std::filesystem::path& folder);
