// install_benchmark [--quick]
//
// Installs and uninstalls the reference-size console (headless_setup_reference.exe, which
// carries it) three times in the prefix it runs in, and prints the median time of every stage.
// --quick does it once with the sample console (headless_setup.exe), for the test suite, which
// only sees that every stage is still found.
// The stages are cut at calls that the test shim records with a timestamp (STAGES below). The
// shim also supplies the service recovery flag that Wine 8 refuses.
//
// Targets: the stages that are this program's own (everything but the extraction, the runtime
// probe's process and the console's own start-up, and the byte copy of the wizard itself, which
// is bulk writing like the extraction) together under 0.3 s; the uninstall's removal
// of the application folder at most 1.25 times a plain recursive delete of a copy of that
// folder, timed in the same run.

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/folders.h"
#include "common/text.h"
#include "tests/support/loopback_server.h"
#include "tests/support/processes.h"
#include "tests/support/shim.h"

namespace fs = std::filesystem;

namespace {

constexpr int RUNS = 3;
constexpr char RECORDED[] = "record SHGetKnownFolderPath args=p\nrecord GetDiskFreeSpaceExW args=ws\n"
                            "record FindResourceW args=p\nrecord FlushFileBuffers args=p\nrecord CopyFileW args=ws\n"
                            "record CreateServiceW args=p\nrecord StartServiceW args=p\nrecord WinHttpOpen args=ws\n"
                            "record RegCreateKeyExW args=p\nrecord _wmkdir args=ws\nrecord RemoveDirectoryW args=ws\n";

// A recorded call: the n-th (1-based) of a function, counting only those whose first argument
// ends with the given text when one is given, and only those after the first call of another
// function when one is named. "end" is the program's end.
struct Mark {
    const char* function;
    int n = 1;
    const char* argumentEnd = "";
    const char* after = nullptr;
};

struct Stage {
    const char* name;
    Mark from, to;
    bool ours;
};

const Mark MENU_FOLDER{"_wmkdir", 1, "Programs\\Quellmark Console"};
const Stage STAGES[] = {
    {"checks", {"SHGetKnownFolderPath"}, {"GetDiskFreeSpaceExW"}, true},
    {"data folder, application folder, marker", {"GetDiskFreeSpaceExW"}, {"CopyFileW"}, true},
    {"uninstaller copy (the whole wizard)", {"CopyFileW"}, {"RegCreateKeyExW"}, false},
    {"Installed-apps entry", {"RegCreateKeyExW"}, {"FindResourceW"}, true},
    // The settings are the first file after the package's that is flushed before it is put in place.
    {"extraction", {"FindResourceW"}, {"FlushFileBuffers", 1, "", "FindResourceW"}, false},
    {"settings", {"FlushFileBuffers", 1, "", "FindResourceW"}, {"CreateProcessW"}, true},
    {"runtime check", {"CreateProcessW"}, {"CreateServiceW"}, false},
    {"service registration", {"CreateServiceW"}, {"StartServiceW"}, true},
    {"service start to first healthy answer", {"StartServiceW"}, {"CoCreateInstance"}, false},
    {"firewall rule and settings", {"CoCreateInstance"}, MENU_FOLDER, true},
    {"shortcuts (to the program's end)", MENU_FOLDER, {"end"}, true},
};

double microsecondsNow()
{
    LARGE_INTEGER now{};
    LARGE_INTEGER frequency{};
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return now.QuadPart / (frequency.QuadPart / 1000000.0);
}

// The runner that carries the console: the reference-size one, or the sample for a quick run.
std::string program = "headless_setup_reference.exe";

struct Run {
    std::vector<ShimRecord> records;
    double ended = 0; // microseconds, the same clock as the records'
};

double when(const Run& run, const Mark& mark)
{
    if (std::string(mark.function) == "end")
        return run.ended;
    int n = mark.n;
    bool counting = mark.after == nullptr;
    for (const ShimRecord& record : run.records) {
        if (record.image != program)
            continue;
        const bool matches = record.function == mark.function &&
                             (*mark.argumentEnd == 0 || record["arg1"].ends_with(mark.argumentEnd));
        if (counting && matches && --n == 0)
            return std::stod(record["us"]);
        counting = counting || record.function == mark.after;
    }
    throw std::runtime_error(std::string("no record of ") + mark.function + " " + mark.argumentEnd);
}

Run headless(const std::wstring& arguments)
{
    const std::string plan = "process " + program + "\n" + RECORDED;
    const ProcessResult result = runWithShim(testProgramFolder() / widen(program), arguments, plan, 600000);
    const double ended = microsecondsNow();
    if (result.exitCode != 0)
        throw std::runtime_error(program + " failed: " + result.output);
    return {readShimRecords(), ended};
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Seconds of the uninstall's removal of the application folder (from the Start-menu folder's
// removal to its own) and of a plain recursive delete of a copy of it.
std::pair<double, double> uninstallAgainstPlainDelete()
{
    const fs::path copy = L"C:\\plain-delete-copy";
    fs::copy(appDir(), copy, fs::copy_options::recursive);
    const Run run = headless(L"uninstall 1");
    const double guarded = (when(run, {"RemoveDirectoryW", 1, "Vostrel\\Quellmark Console"}) -
                            when(run, {"RemoveDirectoryW", 1, "Programs\\Quellmark Console"})) * 1e-6;
    const auto started = std::chrono::steady_clock::now();
    fs::remove_all(copy);
    return {guarded, std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count()};
}

void measure(int runs)
{
    std::map<std::string, std::vector<double>> seconds;
    std::vector<double> guarded, plain, probes;
    for (int run = 0; run < runs; ++run) {
        const Run installed = headless(L"install " + std::to_wstring(unusedLoopbackPort()) + L" 1");
        for (const Stage& stage : STAGES)
            seconds[stage.name].push_back((when(installed, stage.to) - when(installed, stage.from)) * 1e-6);
        probes.push_back(static_cast<double>(std::count_if(installed.records.begin(), installed.records.end(),
                                                           [](const ShimRecord& r) { return r.function == "WinHttpOpen"; })));
        const auto [removal, reference] = uninstallAgainstPlainDelete();
        guarded.push_back(removal);
        plain.push_back(reference);
    }
    std::printf("Installation of the console that %s carries, median of %d runs by stage:\n", program.c_str(),
                runs);
    double ours = 0;
    for (const Stage& stage : STAGES) {
        const double value = median(seconds[stage.name]);
        std::printf("  %-40s %8.3f s%s\n", stage.name, value, stage.ours ? "" : "   (not this program's own)");
        ours += stage.ours ? value : 0;
    }
    std::printf("  health probes until the first healthy answer: %.0f\n", median(probes));
    std::printf("  this program's own stages together: %.3f s (target under 0.300 s: %s)\n", ours,
                ours < 0.3 ? "met" : "MISSED");
    const double ratio = median(guarded) / median(plain);
    std::printf("Uninstallation: the application folder's removal %.3f s, a plain recursive delete of the same tree "
                "%.3f s: ratio %.2f (target at most 1.25: %s)\n",
                median(guarded), median(plain), ratio, ratio <= 1.25 ? "met" : "MISSED");
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const bool quick = argc > 1 && std::wstring(argv[1]) == L"--quick";
    if (quick)
        program = "headless_setup.exe";
    try {
        measure(quick ? 1 : RUNS);
    } catch (const std::exception& problem) {
        std::printf("install_benchmark: %s\n", problem.what());
        return 1;
    }
    return 0;
}
