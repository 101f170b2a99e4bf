#pragma once

#include <filesystem>

// Makes link a symbolic link to the folder target, for tests of the link guard. Wine's
// CreateSymbolicLinkW reports success and makes nothing, so the link is made on the Linux side
// (/bin/ln on the Unix paths of both); Windows programs then see a reparse point.
void makeDirectoryLink(const std::filesystem::path& link, const std::filesystem::path& target);

// Removes such a link on the Linux side. Under Wine a Windows-side deletion of a folder link
// follows it and deletes the folder it points to instead.
void removeLink(const std::filesystem::path& link);
