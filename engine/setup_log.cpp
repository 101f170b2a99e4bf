#include "engine/setup_log.h"

#include <windows.h>

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

// Text mode, so that every line feed, also those inside the failure text, reaches the disk as
// CR LF and the log reads well in Notepad.
void append(const fs::path& log, const std::string& line)
{
    std::unique_ptr<FILE, FileCloser> file(_wfopen(log.c_str(), L"a"));
    const bool written = file && std::fwrite(line.data(), 1, line.size(), file.get()) == line.size();
    const bool closed = file && std::fclose(file.release()) == 0;
    if (!written || !closed)
        throw std::runtime_error("Cannot write setup.log");
}

} // namespace

void logFirewallFailure(const std::string& text)
{
    try {
        const fs::path log = setupLog();
        noReparse(log);
        append(log, logLine(text));
        firewallLogFailure.clear();
    } catch (const std::exception& problem) {
        // The log is a courtesy: its failure is told in the prompt and never changes the install.
        firewallLogFailure = problem.what();
    }
}

void logSetupNote(const std::string& text)
{
    try {
        const fs::path log = setupLog();
        noReparse(log);
        append(log, logLine(text));
    } catch (const std::exception&) {
        // The final page says the same; the log is a courtesy.
    }
}
