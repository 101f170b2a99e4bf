// extract_benchmark [runs]
//
// Measures the extraction of the package that this program carries (RCDATA 101, embedded
// exactly as the wizard embeds its console) on one thread, on two, and on as many as
// extractPayload takes on this machine, against the work that no extraction can avoid on one
// thread; also the parse of the package and the process's memory. Prints every figure with its
// target. Writes below Program Files, so run it in a throw-away prefix (the run_benchmarks
// target does), with room for four copies of the package per run (nine runs of the reference
// package: 2.8 GB). Built twice: with the reference-size package, and with the sample console's for
// the test suite's quick run, whose figures nobody judges.
//
// The intrinsic work per run: two SHA-256 passes over the whole package (the package digest,
// and every file's digest, which together cover the package once more), creating each folder
// of the package once, and one CreateFileW, one WriteFile and one CloseHandle per file, all on
// one thread. Folder creation is inside every timing, since extraction cannot write a file
// without its folder.

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/failure.h"
#include "common/folders.h"
#include "common/handles.h"
#include "common/text.h"
#include "package/extract.h"
#include "package/hashing.h"
#include "package/package_digest.h"
#include "package/parser.h"

namespace fs = std::filesystem;

namespace {

constexpr double MIB = 1024.0 * 1024.0;

struct Image {
    const unsigned char* bytes = nullptr;
    unsigned long long length = 0;
};

Image carriedPackage()
{
    const HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(101), RT_RCDATA);
    require(resource != nullptr, "Locate bundled application");
    const void* bytes = LockResource(LoadResource(nullptr, resource));
    require(bytes != nullptr, "Read bundled application");
    return {static_cast<const unsigned char*>(bytes), SizeofResource(nullptr, resource)};
}

template <typename Work>
double secondsOf(Work work)
{
    const auto started = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

PROCESS_MEMORY_COUNTERS memoryNow()
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    require(GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters), "Read memory counters");
    return counters;
}

// The largest private commit seen at any sample; see the memory notes printed at the end.
SIZE_T highestPrivate = 0;

void samplePrivate()
{
    highestPrivate = std::max(highestPrivate, memoryNow().PagefileUsage);
}

void writeEveryFile(const std::vector<Entry>& entries, const fs::path& root)
{
    std::set<fs::path> folders;
    for (const Entry& entry : entries)
        folders.insert((root / widen(entry.name)).make_preferred().parent_path());
    for (const fs::path& folder : folders)
        fs::create_directories(folder);
    for (const Entry& entry : entries) {
        const fs::path target = (root / widen(entry.name)).make_preferred();
        const UniqueHandle file(CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
        require(file.get() != INVALID_HANDLE_VALUE, "Create application file");
        DWORD written = 0;
        const BOOL ok = WriteFile(file.get(), entry.data, static_cast<DWORD>(entry.size), &written, nullptr);
        require(ok && written == entry.size, "Write application file");
    }
}

void intrinsicWork(const Image& image, const std::vector<Entry>& entries, const fs::path& root)
{
    sha256(image.bytes, image.length);
    sha256(image.bytes, image.length);
    samplePrivate();
    writeEveryFile(entries, root);
}

double minimum(std::vector<double> values)
{
    return *std::min_element(values.begin(), values.end());
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

const char* verdict(bool met)
{
    return met ? "met" : "MISSED";
}

// What each run times, in an order that turns by one every run, so that none of them always
// finds the disk cache warmer. Every run writes to folders of its own, all removed at the end: a
// removal of the files between runs had the file system still busy freeing their space (a disk
// mounted with online discard) while the next run wrote, and the runs grew slower one by one
// (intrinsic work 0.84 s in the first of nine, 1.42 s in the sixth), hiding what the threads gain. Threads 0 is extractPayload itself, with the machine's threads.
struct Measured {
    const char* name;
    unsigned threads;
    double target; // at most this times the intrinsic work; 0: none
    std::vector<double> seconds;
};

struct Timings {
    std::vector<Measured> extractions;
    std::vector<double> intrinsic, parse;
};

Timings measure(const Image& image, const std::vector<Entry>& entries, const fs::path& scratch, int runs)
{
    Timings timings{{{"1 thread", 1, 1.25, {}}, {"2 threads", 2, 0, {}}, {"all threads", 0, 0.75, {}}},
                    {},
                    {}};
    const Progress progress = [](int, const std::wstring&) { samplePrivate(); };
    const std::size_t parts = timings.extractions.size() + 1;
    for (int run = 1; run <= runs; ++run) {
        for (std::size_t step = 0; step < parts; ++step) {
            const std::size_t part = (step + static_cast<std::size_t>(run)) % parts;
            const fs::path folder = scratch / (L"run-" + std::to_wstring(run) + L"-" + std::to_wstring(part));
            if (part == timings.extractions.size()) {
                timings.intrinsic.push_back(secondsOf([&] { intrinsicWork(image, entries, folder); }));
                continue;
            }
            Measured& measured = timings.extractions[part];
            measured.seconds.push_back(secondsOf([&] {
                if (measured.threads == 0)
                    extractPayload(folder, progress);
                else
                    extractImage(image.bytes, image.length, PACKAGE_DIGEST, folder, progress, measured.threads);
            }));
        }
        samplePrivate();
        timings.parse.push_back(secondsOf([&] { parsePayload(image.bytes, image.length); }));
        std::printf("run %d: intrinsic %.3f s;", run, timings.intrinsic.back());
        for (const Measured& measured : timings.extractions)
            std::printf(" %s %.3f s (%.3f);", measured.name, measured.seconds.back(),
                        measured.seconds.back() / timings.intrinsic.back());
        std::printf(" parse %.2f ms\n", timings.parse.back() * 1e3);
        std::fflush(stdout);
    }
    return timings;
}

void printTimes(const Timings& timings)
{
    std::printf("\nintrinsic work, 1 thread        min %.3f s   median %.3f s\n", minimum(timings.intrinsic),
                median(timings.intrinsic));
    std::printf("(\"all threads\" is extractPayload: %u threads here)\n", extractionThreads());
    for (const Measured& measured : timings.extractions) {
        const double ratio = median(measured.seconds) / median(timings.intrinsic);
        std::printf("extraction, %-20s min %.3f s   median %.3f s   / intrinsic: median %.3f", measured.name,
                    minimum(measured.seconds), median(measured.seconds), ratio);
        if (measured.target > 0)
            std::printf("   target <= %.2f: %s", measured.target, verdict(ratio <= measured.target));
        std::printf("\n");
    }
    std::printf("parse (parsePayload)            min %.2f ms  median %.2f ms\n", minimum(timings.parse) * 1e3,
                median(timings.parse) * 1e3);
}

void printMemory(const Image& image, const PROCESS_MEMORY_COUNTERS& start)
{
    const PROCESS_MEMORY_COUNTERS end = memoryNow();
    const double package = static_cast<double>(image.length) / MIB;
    const double peak = static_cast<double>(end.PeakWorkingSetSize) / MIB;
    std::printf("\npackage                       %.1f MiB\n", package);
    std::printf("working set at start          %.1f MiB\n", static_cast<double>(start.WorkingSetSize) / MIB);
    std::printf("peak working set              %.1f MiB     target <= package + 32 MiB = %.1f MiB: %s\n", peak,
                package + 32, verdict(peak <= package + 32));
    std::printf("private bytes at start        %.1f MiB\n", static_cast<double>(start.PagefileUsage) / MIB);
    std::printf("private bytes, highest sample %.1f MiB (growth %.1f MiB)\n",
                static_cast<double>(highestPrivate) / MIB,
                (static_cast<double>(highestPrivate) - static_cast<double>(start.PagefileUsage)) / MIB);
    std::printf("PeakPagefileUsage             %.1f MiB\n", static_cast<double>(end.PeakPagefileUsage) / MIB);
    std::puts("\nOn Windows the package is part of this program's image, a mapping of the file: reading it\n"
              "adds its pages to the working set, which PeakWorkingSetSize bounds, but not to the private\n"
              "commit that PeakPagefileUsage counts. A copy of file data is private memory, so copies show in\n"
              "PeakPagefileUsage. Wine 8 loads the image into private memory at start (\"private bytes at\n"
              "start\" holds the package) and reports the current private bytes as PeakPagefileUsage; here\n"
              "copies show as the growth of private bytes, sampled at every progress report and phase end.");
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    try {
        const int runs = argc > 1 ? std::max(1, _wtoi(argv[1])) : 5;
        const PROCESS_MEMORY_COUNTERS start = memoryNow();
        highestPrivate = start.PagefileUsage;
        const Image image = carriedPackage();
        const std::vector<Entry> entries = parsePayload(image.bytes, image.length);
        std::printf("package: %llu bytes, %zu files; %d runs\n", image.length, entries.size(), runs);
        const fs::path scratch = known(FOLDERID_ProgramFiles) / L"Vostrel" / L"Extract Benchmark";
        fs::remove_all(scratch);
        printTimes(measure(image, entries, scratch, runs));
        printMemory(image, start);
        fs::remove_all(scratch);
        return 0;
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "extract_benchmark: %s\n", failure.what());
        return 1;
    }
}
