#include "package/extract.h"

#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "common/failure.h"
#include "common/handles.h"
#include "common/text.h"
#include "package/guarded_files.h"
#include "package/hashing.h"
#include "package/long_paths.h"
#include "package/package_digest.h"
#include "package/parser.h"

namespace fs = std::filesystem;

namespace {

constexpr int PACKAGE_RESOURCE = 101;
constexpr unsigned long long PROGRESS_EVERY = 20;
constexpr unsigned MOST_THREADS = 4;
constexpr char PACKAGE_REFUSAL[] = "Installer integrity check failed. Download a fresh copy.";
constexpr char FILE_REFUSAL[] = "Bundled file integrity check failed";

struct Image {
    const unsigned char* bytes = nullptr;
    unsigned long long length = 0;
};

// The resource stays mapped until the process ends, so the image is never copied or released.
Image bundledImage()
{
    const HRSRC resource = FindResourceW(nullptr, MAKEINTRESOURCEW(PACKAGE_RESOURCE), RT_RCDATA);
    require(resource != nullptr, "Locate bundled application");
    const HGLOBAL loaded = LoadResource(nullptr, resource);
    require(loaded != nullptr, "Read bundled application");
    const void* bytes = LockResource(loaded);
    require(bytes != nullptr, "Read bundled application");
    return {static_cast<const unsigned char*>(bytes), SizeofResource(nullptr, resource)};
}

void writeNewFile(const fs::path& target, const Entry& entry)
{
    // CREATE_NEW: a file already there means the folder is not the fresh one it should be, and
    // it is neither overwritten nor shared while it is written. The \\?\ form lets a long name
    // below the application folder pass MAX_PATH.
    const UniqueHandle file(CreateFileW(extendedPath(target).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    require(file.get() != INVALID_HANDLE_VALUE, "Create application file");
    DWORD written = 0;
    // One call for the whole file; the parser allows at most 256 MiB, well inside a DWORD.
    const BOOL ok = WriteFile(file.get(), entry.data, static_cast<DWORD>(entry.size), &written, nullptr);
    // The failure is composed while the file is still open, so that it carries the write's error
    // code and not the close's; the owner closes the file as the failure leaves.
    require(ok && written == entry.size, "Write application file");
}

void writeEntry(const fs::path& root, const Entry& entry)
{
    fs::path target = root / widen(entry.name);
    target.make_preferred();
    noReparse(target);
    createFolders(target.parent_path());
    writeNewFile(target, entry);
}

// What the threads of one extraction share, all of it under lock. Entries are handed out in
// package order, first to be hashed, then, once the caller has seen the package digest match,
// to be written. Of the failures only the earliest entry's is kept, and nothing after it is
// started: every entry before it is tried, whatever the threads did, so that the same package
// on the same disk always fails with the same text.
struct Extraction {
    const unsigned char* image = nullptr;
    unsigned long long length = 0;
    std::vector<Entry> entries;
    Sha256Provider provider;

    std::mutex lock;
    std::condition_variable changed;
    bool packageMatches = false;
    std::exception_ptr packageFailure; // the package's digest could not be computed
    std::exception_ptr escaped;        // a failure that belongs to no entry
    unsigned hashing = 0;              // threads that have not finished hashing
    unsigned running = 0;              // threads that have not ended
    bool writing = false;              // the package digest matched: the threads may write
    bool stopping = false;             // the threads leave as soon as they can
    std::size_t nextToHash = 0;
    std::size_t nextToWrite = 0;
    std::size_t firstFailed = 0; // the earliest entry that failed; entries.size() while none has
    std::exception_ptr failure;  // that entry's failure
    std::size_t written = 0;
};

void fail(Extraction& x, std::size_t index, std::exception_ptr failure)
{
    const std::lock_guard held(x.lock);
    if (index < x.firstFailed) {
        x.firstFailed = index;
        x.failure = std::move(failure);
    }
}

// The next entry to hash or write, in package order; false once none is left before the
// earliest failure, or when the threads are to stop.
bool claim(Extraction& x, std::size_t& next, std::size_t& index)
{
    const std::lock_guard held(x.lock);
    if (x.stopping || next >= x.firstFailed)
        return false;
    index = next++;
    return true;
}

void checkPackage(Extraction& x, const std::string& expectedDigest)
{
    bool matches = false;
    std::exception_ptr failure;
    try {
        matches = digestText(sha256(x.provider, x.image, x.length)) == expectedDigest;
    } catch (...) {
        failure = std::current_exception();
    }
    const std::lock_guard held(x.lock);
    x.packageMatches = matches;
    x.packageFailure = failure;
    x.stopping = x.stopping || !matches; // the files' digests no longer matter
}

void hashFiles(Extraction& x)
{
    for (std::size_t index = 0; claim(x, x.nextToHash, index);) {
        try {
            const Entry& entry = x.entries[index];
            const std::vector<unsigned char> digest = sha256(x.provider, entry.data, entry.size);
            if (std::memcmp(digest.data(), entry.digest, DIGEST_SIZE) != 0)
                throw std::runtime_error(FILE_REFUSAL);
        } catch (...) {
            fail(x, index, std::current_exception());
        }
    }
}

void writeFiles(Extraction& x, const fs::path& root)
{
    for (std::size_t index = 0; claim(x, x.nextToWrite, index);) {
        try {
            writeEntry(root, x.entries[index]);
        } catch (...) {
            fail(x, index, std::current_exception());
            continue;
        }
        // The caller waits for every twentieth file and for the threads' end, and a wake-up is
        // not free: each is a call to the kernel.
        const std::lock_guard held(x.lock);
        if (++x.written % PROGRESS_EVERY == 0)
            x.changed.notify_all();
    }
}

// A failure that belongs to no entry stops every thread and reaches the caller.
void escape(Extraction& x, std::exception_ptr failure)
{
    const std::lock_guard held(x.lock);
    x.escaped = x.escaped ? x.escaped : std::move(failure);
    x.stopping = true;
    x.changed.notify_all();
}

// One thread's part: the package digest if it is the first thread, then the files' digests if
// it hashes; then it waits for the caller's word and writes files.
void work(Extraction& x, bool checksPackage, bool hashes, const std::string& expectedDigest, const fs::path& root)
{
    try {
        if (checksPackage)
            checkPackage(x, expectedDigest);
        if (hashes)
            hashFiles(x);
    } catch (...) {
        escape(x, std::current_exception());
    }
    std::unique_lock held(x.lock);
    --x.hashing;
    x.changed.notify_all();
    x.changed.wait(held, [&] { return x.writing || x.stopping; });
    held.unlock();
    try {
        writeFiles(x, root);
    } catch (...) {
        escape(x, std::current_exception());
    }
    held.lock();
    --x.running;
    x.changed.notify_all();
}

// Raises what the checks found, in the order in which one thread would have found it: the
// package's digest before its parse, both before any file.
void letThreadsWrite(Extraction& x, const std::exception_ptr& parseFailure)
{
    std::unique_lock held(x.lock);
    x.changed.wait(held, [&] { return x.hashing == 0; });
    if (x.escaped)
        std::rethrow_exception(x.escaped);
    if (x.packageFailure)
        std::rethrow_exception(x.packageFailure);
    if (!x.packageMatches)
        throw std::runtime_error(PACKAGE_REFUSAL);
    if (parseFailure)
        std::rethrow_exception(parseFailure);
    x.writing = true;
    x.changed.notify_all();
}

// Reports on the caller's thread, where the callback may post to a window or write a log,
// until every thread has ended.
void reportUntilDone(Extraction& x, const Progress& progress)
{
    const unsigned long long total = x.entries.size();
    unsigned long long reported = 0;
    int lastPercent = -1;
    std::unique_lock held(x.lock);
    for (;;) {
        x.changed.wait(held, [&] { return x.running == 0 || x.written >= reported + PROGRESS_EVERY; });
        const unsigned long long written = x.written;
        const bool done = x.running == 0;
        held.unlock();
        for (; reported + PROGRESS_EVERY <= written; reported += PROGRESS_EVERY) {
            const int percent = static_cast<int>(10 + 55 * (reported + PROGRESS_EVERY) / total);
            if (percent != lastPercent)
                progress(percent, L"Installing application files...");
            lastPercent = percent;
        }
        if (done)
            return;
        held.lock();
    }
}

} // namespace

void extractImage(const unsigned char* image, unsigned long long length, const std::string& expectedDigest,
                  const fs::path& root, Progress progress, unsigned threads)
{
    Extraction x;
    x.image = image;
    x.length = length;
    x.provider = openSha256();
    // Parsed while the digest is still unknown, for the threads to hash the files meanwhile; a
    // refusal counts only for a package whose digest matched.
    std::exception_ptr parseFailure;
    try {
        x.entries = parsePayload(image, length);
    } catch (const std::runtime_error&) {
        parseFailure = std::current_exception();
    }
    x.firstFailed = x.entries.size();
    const unsigned count = std::max(threads, 1u);
    x.hashing = x.running = count;
    // The package digest is one long chain that nothing can share out, so it keeps a core of its
    // own: hashing on more threads than there are cores would only slow it down.
    const unsigned hashers = std::clamp(std::thread::hardware_concurrency(), 1u, count);

    // Joined as they go out of scope, also when this raises: no thread outlives the extraction,
    // whose failure the caller rolls back.
    std::vector<std::jthread> crew;
    try {
        for (unsigned n = 0; n < count; ++n)
            crew.emplace_back(work, std::ref(x), n == 0, n < hashers, std::cref(expectedDigest), std::cref(root));
        letThreadsWrite(x, parseFailure);
        reportUntilDone(x, progress);
    } catch (...) {
        escape(x, nullptr); // the threads stop; what is raised here is the failure
        throw;
    }
    crew.clear();
    if (x.escaped)
        std::rethrow_exception(x.escaped);
    if (x.failure)
        std::rethrow_exception(x.failure);
}

// One thread per core: the hashing keeps every core busy, and the writes, measured on two
// cores, went no faster on four threads than on two. At least two, so that one thread's wait for
// the file system overlaps another's work; at most four, since the writes then only queue on the
// same folders and disk, and more files are started that a failure has to wait for.
unsigned extractionThreads()
{
    return std::clamp(std::thread::hardware_concurrency(), 2u, MOST_THREADS);
}

void extractPayload(const fs::path& root, Progress progress)
{
    const Image image = bundledImage();
    extractImage(image.bytes, image.length, PACKAGE_DIGEST, root, std::move(progress), extractionThreads());
}
