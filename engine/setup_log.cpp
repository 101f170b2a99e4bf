#include "engine/setup_log.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include "common/folders.h"
#include "common/wizard_state.h"
#include "package/guarded_files.h"

namespace fs = std::filesystem;

namespace {

// UTC, with no leading zeros: administrators compare it with the console's own log, not sort it.
std::string logLine(const std::string& text)
{
    SYSTEMTIME now{};
    GetSystemTime(&now);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%u-%u-%u %u:%u:%u UTC: ", now.wYear, now.wMonth, now.wDay, now.wHour,
                  now.wMinute, now.wSecond);
    return stamp + text + "\n";
}

struct FileCloser {
    void operator()(FILE* file) const noexcept { std::fclose(file); }
};

[[noreturn]] void cannotWrite()
{
    throw std::runtime_error("Cannot write setup.log");
}

// The folder or file at p as itself, held so that nobody can rename or delete it, proved to be
// the entry of the folder above it where one is given.
OpenedItem openInside(const OpenedItem* folder, const fs::path& p, DWORD access, DWORD share, DWORD disposition)
{
    OpenedItem item = openItself(p, access, share, disposition);
    if (!item.handle)
        cannotWrite();
    if (item.link() || (folder != nullptr && !isEntryOf(folder->handle.get(), item.handle.get(), p.filename())) ||
        (!item.folder() && item.information.nNumberOfLinks != 1)) {
        if (item.created)
            discardOnClose(item.handle.get());
        refuseLink();
    }
    return item;
}

// The console's own account has full control of everything below the data folder: at any moment
// it could swap "logs" or the log for a link, put a hard link to another file in the log's place,
// or empty "logs" and make a junction of it. So the data folder and "logs" are held as
// themselves, without write or delete sharing, and a line is only written to a plain file with no
// other name that lies in "logs" of the data folder; a file that this call made elsewhere goes
// again. Text mode, so that every line feed, also those inside the failure text, reaches the disk
// as CR LF and the log reads well in Notepad.
void append(const fs::path& log, const std::string& line)
{
    const fs::path logs = log.parent_path();
    const OpenedItem data =
        openInside(nullptr, logs.parent_path(), FILE_LIST_DIRECTORY, FILE_SHARE_READ, OPEN_EXISTING);
    const OpenedItem folder = openInside(&data, logs, FILE_LIST_DIRECTORY, FILE_SHARE_READ, OPEN_EXISTING);
    OpenedItem file =
        openInside(&folder, log, FILE_APPEND_DATA | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_ALWAYS);
    if (file.folder())
        cannotWrite();
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(file.handle.get()), _O_APPEND | _O_TEXT);
    if (descriptor == -1)
        cannotWrite();
    file.handle.release(); // the descriptor closes it
    std::unique_ptr<FILE, FileCloser> stream(_fdopen(descriptor, "a"));
    if (!stream) {
        _close(descriptor);
        cannotWrite();
    }
    const bool written = std::fwrite(line.data(), 1, line.size(), stream.get()) == line.size();
    const bool closed = std::fclose(stream.release()) == 0;
    if (!written || !closed)
        cannotWrite();
}

} // namespace

void logFirewallFailure(const std::string& text)
{
    // The log is a courtesy: its failure is told in the prompt and never changes the install.
    firewallLogFailure = logSetupEvent(text);
}

std::string logSetupEvent(const std::string& text)
{
    try {
        const fs::path log = setupLog();
        noReparse(log);
        append(log, logLine(text));
        return {};
    } catch (const std::exception& problem) {
        return problem.what();
    }
}
