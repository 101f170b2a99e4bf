#include "engine/helper_process.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <thread>

#include "common/failure.h"
#include "common/handles.h"
#include "common/jobs.h"
#include "common/text.h"

namespace {

constexpr DWORD KILL_GRACE_MS = 5000;
constexpr std::size_t OUTPUT_KEPT = 4096; // the end of a report (a traceback's last lines) says the most
constexpr DWORD PIPE_BUFFER = 64 * 1024;
constexpr DWORD READ_PAUSE_MS = 20;

struct OutputPipe {
    UniqueHandle read;
    UniqueHandle write; // inherited by the helper
};

// The helper's standard output and error.
OutputPipe outputPipe()
{
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    require(CreatePipe(&read, &write, &inheritable, PIPE_BUFFER) != FALSE, "Run Windows helper");
    OutputPipe pipe{UniqueHandle(read), UniqueHandle(write)};
    require(SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0) != FALSE, "Run Windows helper");
    return pipe;
}

// Adds what the pipe holds to kept, of which the last OUTPUT_KEPT bytes stay. Reads only what is
// there and never waits for more: anything that inherited the helper's handles may keep the pipe
// open for longer than the helper runs.
void readWaiting(HANDLE pipe, std::string& kept)
{
    std::string chunk(PIPE_BUFFER, '\0');
    DWORD waiting = 0;
    DWORD read = 0;
    while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr) && waiting > 0 &&
           ReadFile(pipe, chunk.data(), std::min<DWORD>(waiting, PIPE_BUFFER), &read, nullptr) && read > 0) {
        kept.append(chunk.data(), read);
        if (kept.size() > OUTPUT_KEPT)
            kept.erase(0, kept.size() - OUTPUT_KEPT);
    }
}

} // namespace

HelperResult command(const std::filesystem::path& exe, const std::wstring& args, DWORD timeoutMs)
{
    std::wstring commandLine = quote(exe.wstring()) + L" " + args; // CreateProcessW may write into it
    OutputPipe output = outputPipe();
    const UniqueHandle job = killOnCloseJob("Run Windows helper");
    const std::filesystem::path folder = exe.parent_path(); // the helper's own folder as its current one
    const UniqueHandle process =
        startInJob(job.get(), exe, commandLine, {{output.write.get()}, output.write.get(), folder.c_str()},
                   "Run Windows helper");
    output.write.reset(); // the helper's copy is the one that counts

    HelperResult result;
    {
        // The pipe is emptied while the helper runs: one that writes more than the pipe holds
        // would otherwise wait for room until its time is up.
        const std::jthread reader([&](std::stop_token ended) {
            while (!ended.stop_requested()) {
                readWaiting(output.read.get(), result.output);
                Sleep(READ_PAUSE_MS);
            }
        });
        if (WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
            // A failed wait is treated like a time-out: the helper must not outlive the wizard's patience.
            TerminateProcess(process.get(), 1);
            WaitForSingleObject(process.get(), KILL_GRACE_MS);
            throw std::runtime_error("Windows helper timed out");
        }
        GetExitCodeProcess(process.get(), &result.exitCode); // stays 1 when it cannot be read: a failure
        // Whatever the helper started ends before the last read, so that nothing writes after it.
        TerminateJobObject(job.get(), 1); // a failure changes nothing: the job's close ends them too
    }
    readWaiting(output.read.get(), result.output);
    return result;
}
