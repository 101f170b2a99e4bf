#pragma once

#include <windows.h>

#include <filesystem>
#include <initializer_list>
#include <string>

#include "common/handles.h"

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

// The same removal for a tree that another account may change while it goes, as the console's
// own account may change its data folder: every folder on the way is held as itself, and every
// item is opened as itself, proved to be the entry of the folder held above it, and deleted
// through that handle. No rename, link or junction made meanwhile can turn a deletion to
// anything outside the tree; the link guard's refusal stops it instead.
void removeExposedTree(const std::filesystem::path& folder, std::initializer_list<const wchar_t*> last = {});

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
// The bytes go into a file made for them, proved to lie in p's folder, which then takes p's
// place: never into a file that stood there already, such as a hard link to another file.
// Raises "Cannot write <path> (<error>): <system message>" on any failure of Windows, and the
// link guard's refusal when the new file did not land in p's folder.
void writeText(const std::filesystem::path& p, const std::string& text);

// Where writeText puts the new bytes before they replace p's: p's name with ".partial" after it.
inline constexpr wchar_t PARTIAL_SUFFIX[] = L".partial";
std::filesystem::path partialFile(const std::filesystem::path& p);

// The link guard's refusal: "Installation paths must not contain links or junctions".
[[noreturn]] void refuseLink();

// What stands at a path, opened as itself: a link or junction there is opened, never followed.
struct OpenedItem {
    UniqueHandle handle; // empty when it could not be opened or examined
    BY_HANDLE_FILE_INFORMATION information{};
    bool created = false; // made by the opening call
    bool link() const { return (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
    bool folder() const { return (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
};

// Opens p itself (a folder too) with access and FILE_READ_ATTRIBUTES, which examining it takes,
// and reads what it is. Without a handle, the thread's last error says why.
OpenedItem openItself(const std::filesystem::path& p, DWORD access, DWORD share, DWORD disposition = OPEN_EXISTING);

// Deletes what item, opened with DELETE access, stands for once its last handle closes: for what
// a call made itself and must not leave. A deletion that fails leaves it.
void discardOnClose(HANDLE item);

// Whether item, opened by the path of folder and name, is that folder's entry name: its final path
// is the folder's with the name after it. A folder that another account may empty can be turned
// into a junction at any moment, and everything opened through its path then lies elsewhere.
// Raises "Check installation path (<error>)" when a final path cannot be read.
bool isEntryOf(HANDLE folder, HANDLE item, const std::wstring& name);

// Deletes folder only if it is empty and no link leads to it, such as the maker's folder above
// ours, which another of its products may share. Anything else leaves it as it is.
void removeEmptyFolder(const std::filesystem::path& folder);
