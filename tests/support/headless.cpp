#include "tests/support/headless.h"

#include <atomic>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/installation.h"
#include "tests/support/processes.h"
#include "tests/support/shim.h"

namespace {

constexpr char FAILED[] = "failed: ";

// "<percent> <status>" lines until "done..." or "failed: <text>", which runs to the end: a
// failure text may hold line breaks of its own.
HeadlessRun parse(const ProcessResult& result)
{
    HeadlessRun run{result.exitCode, {}, {}, result.output};
    std::istringstream lines(result.output);
    std::size_t at = 0;
    for (std::string line; std::getline(lines, line); at += line.size() + 1) {
        if (line.starts_with(FAILED)) {
            run.outcome = result.output.substr(at + sizeof FAILED - 1);
            if (run.outcome.ends_with('\n'))
                run.outcome.pop_back();
            return run;
        }
        const std::size_t blank = line.find(' ');
        if (line.starts_with("done") || blank == std::string::npos)
            run.outcome = line;
        else
            run.reports.emplace_back(std::stoi(line.substr(0, blank)), line.substr(blank + 1));
    }
    return run;
}

HeadlessRun run(const std::wstring& arguments, const std::string& plan,
                const std::filesystem::path& program = headlessProgram())
{
    // Ample for a health wait of 30 slow probes; a hang still ends the test.
    return parse(runWithShim(program, arguments, plan, 300000));
}

} // namespace

void headlessKilledAt(const std::wstring& arguments, const std::string& plan)
{
    killedAt(headlessProgram(), arguments, plan);
}

void killedAt(const std::filesystem::path& program, const std::wstring& arguments, const std::string& plan)
{
    const ShimProcess started = startWithShim(program, arguments, plan);
    while (!shimRecorded("hang")) {
        if (WaitForSingleObject(started.process.get(), 20) == WAIT_OBJECT_0)
            throw std::runtime_error("the program ended before it got to the planned hang");
    }
    TerminateProcess(started.process.get(), 1);
    WaitForSingleObject(started.process.get(), INFINITE);
}

HeadlessRun headlessPausedAt(const std::wstring& arguments, const std::string& plan,
                             const std::function<void()>& meanwhile)
{
    return pausedAt(headlessProgram(), arguments, plan, meanwhile);
}

HeadlessRun pausedAt(const std::filesystem::path& program, const std::wstring& arguments, const std::string& plan,
                     const std::function<void()>& meanwhile)
{
    std::atomic<bool> ended{false};
    std::thread interloper([&] {
        while (!ended && !shimRecorded("pause"))
            Sleep(10);
        if (!ended) {
            meanwhile();
            resumeShim();
        }
    });
    const HeadlessRun result = run(arguments, plan, program);
    ended = true;
    interloper.join();
    return result;
}

HeadlessRun uninstallThroughInstalledApps()
{
    const std::wstring command = uninstallValue(L"UninstallString");
    if (command.size() < 2 || command[0] != L'"' || command.find(L'"', 1) == std::wstring::npos)
        throw std::runtime_error("the Installed-apps entry names no uninstall command");
    const std::filesystem::path program = command.substr(1, command.find(L'"', 1) - 1);
    // From a copy outside the application folder, as the wizard hands over to a temporary copy
    // of itself before it removes the folder that holds it.
    const std::filesystem::path copy = std::filesystem::temp_directory_path() / L"qm-uninstaller" / program.filename();
    std::filesystem::create_directories(copy.parent_path());
    std::filesystem::copy_file(program, copy, std::filesystem::copy_options::overwrite_existing);
    return parse(runWithShim(copy, L"uninstall 0", "", 300000));
}

std::wstring headlessProgram()
{
    return (testProgramFolder() / L"headless_setup.exe").wstring();
}

HeadlessRun headlessInstall(unsigned port, bool firewall, const std::string& plan)
{
    return run(L"install " + std::to_wstring(port) + (firewall ? L" 1" : L" 0"), plan);
}

HeadlessRun headlessUninstall(bool deleteData, const std::string& plan)
{
    return run(deleteData ? L"uninstall 1" : L"uninstall 0", plan);
}
