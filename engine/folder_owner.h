#pragma once

#include <filesystem>

// ProgramData lets every user create folders there, and they own what they create: such a
// folder keeps its owner's control whatever access list setup gives it, and could be swapped
// for a junction while setup writes into it or deletes it.

// Raises, naming the folder, when it exists and is owned by anyone but the local system, the
// Administrators group or TrustedInstaller. A missing folder passes.
void refuseForeignOwner(const std::filesystem::path& folder);

// Makes the Administrators group the owner of a folder that setup has just created. Under the
// "object creator" owner policy what an administrator creates belongs to that user's own
// account, which the check above would refuse; a folder made by anyone else is left to it.
void ownByAdministrators(const std::filesystem::path& folder);
