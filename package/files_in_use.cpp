#include "package/files_in_use.h"

#include <restartmanager.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/text.h"

namespace fs = std::filesystem;

namespace {

struct SessionEnder {
    void operator()(DWORD* session) const noexcept { RmEndSession(*session); }
};

// The programs that hold file open, as Restart Manager knows them; none when it cannot tell (a
// folder, a file that nobody holds, or no Restart Manager to ask).
std::vector<std::wstring> holdersOf(const fs::path& file)
{
    DWORD session = 0;
    WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
    if (RmStartSession(&session, 0, key) != ERROR_SUCCESS)
        return {};
    const std::unique_ptr<DWORD, SessionEnder> ended(&session);
    const wchar_t* name = file.c_str();
    if (RmRegisterResources(session, 1, &name, 0, nullptr, 0, nullptr) != ERROR_SUCCESS)
        return {};
    std::vector<RM_PROCESS_INFO> found(4);
    UINT needed = 0;
    DWORD reasons = 0;
    for (;;) {
        UINT count = static_cast<UINT>(found.size());
        const DWORD status = RmGetList(session, &needed, &count, found.data(), &reasons);
        if (status == ERROR_MORE_DATA) { // more holders than room: ask again with room for all
            found.resize(needed);
            continue;
        }
        found.resize(status == ERROR_SUCCESS ? count : 0);
        break;
    }
    std::vector<std::wstring> names;
    for (const RM_PROCESS_INFO& holder : found)
        names.emplace_back(holder.strAppName);
    return names;
}

} // namespace

void refuseIfInUse(const fs::path& item, DWORD error)
{
    const std::vector<std::wstring> holders = holdersOf(item);
    // A sharing violation always means that a program holds it. "Access denied" does when Windows
    // names a holder (a running program's own file); otherwise it may be a matter of rights.
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_USER_MAPPED_FILE && holders.empty())
        return;
    std::wstring who;
    for (const std::wstring& holder : holders)
        who += (who.empty() ? L"" : L", ") + holder;
    const std::string named = holders.empty() ? "another program" : narrow(who);
    throw std::runtime_error(narrow(item.wstring()) + " is in use by " + named + " and could not be removed. Close " +
                             (holders.empty() ? "that program" : named) + ", then try again.");
}
