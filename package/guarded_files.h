#pragma once

#include <filesystem>
#include <initializer_list>
#include <string>

// Every path the wizard writes or deletes goes through noReparse first, so that no write or
// deletion can follow a link, junction or mount point to somewhere else. All of them work at
// any path length.

// Raises "Installation paths must not contain links or junctions" when p or any folder above it
// (up to the drive's root) is a reparse point. Paths that do not exist are fine; a path whose
// attributes cannot be read for another reason raises "Check installation path (<error>)".
void noReparse(const std::filesystem::path& p);

// Deletes folder with everything in it, after proving that neither it, the folders above it nor
// anything inside it is a reparse point. A missing folder is not an error. The entries of folder
// itself named in last (compared without case) go after everything else, in the order given,
// just before folder: a removal that stops part-way then still leaves them.
void removeTree(const std::filesystem::path& folder, std::initializer_list<const wchar_t*> last = {});

// Whether anything stands at p: also a file where a folder is expected, and also a path whose
// status cannot be read, which is never taken for proof that nothing is there.
bool present(const std::filesystem::path& p);

// The whole file as bytes. Raises "Cannot read <path>" when it cannot be opened.
std::string readText(const std::filesystem::path& p);

// At most limit bytes from the start of the file, for files that are known to be short: a file
// planted in their place is never read whole. Raises as readText does.
std::string readText(const std::filesystem::path& p, std::size_t limit);

// Creates or replaces p with exactly these bytes, all at once: whatever stops it half-way, p holds
// its old bytes or the new ones, and at most a file named as partialFile(p) is left beside it.
// Raises "Cannot write <path>" on any failure.
void writeText(const std::filesystem::path& p, const std::string& text);

// Where writeText puts the new bytes before they replace p's: p's name with ".partial" after it.
inline constexpr wchar_t PARTIAL_SUFFIX[] = L".partial";
std::filesystem::path partialFile(const std::filesystem::path& p);

// Deletes folder only if it is empty and no link leads to it, such as the maker's folder above
// ours, which another of its products may share. Anything else leaves it as it is.
void removeEmptyFolder(const std::filesystem::path& folder);
