#pragma once

#include <filesystem>

// Makes the data folder ready for the console: the maker's folder and the data folder, each
// created owned by Administrators with its protected list (or, kept from an earlier
// installation, checked and given the data folder's list again, which then reaches what is
// inside it), the data marker, then "data" and "logs", which inherit the list and may also
// belong to the console's own account. Parent before child, each held while the next is made, so
// that nothing can be swapped for a link or taken over on the way. Never deletes anything.
void prepareDataFolder(const std::filesystem::path& data);
