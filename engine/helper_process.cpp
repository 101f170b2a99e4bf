#include "engine/helper_process.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "common/failure.h"
#include "common/handles.h"
#include "common/jobs.h"
#include "common/text.h"

namespace {

constexpr DWORD KILL_GRACE_MS = 5000;
constexpr std::size_t OUTPUT_KEPT = 4096; // the end of a report (a traceback's last lines) says the most
constexpr DWORD PIPE_BUFFER = 1024 * 1024;

struct OutputPipe {
    UniqueHandle read;
    UniqueHandle write; // inherited by the helper
};

// The helper's standard output and error. Its buffer takes what a helper that fails writes (a
// traceback) without anyone reading while it runs; one that writes more waits, and ends as a
// helper that timed out.
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

// The last OUTPUT_KEPT bytes of what the ended helper wrote, read without waiting for the end of
// the pipe: anything that inherited the helper's handles may keep it open for longer.
std::string lastBytes(HANDLE pipe)
{
    std::string bytes;
    std::string chunk(PIPE_BUFFER, '\0');
    DWORD waiting = 0;
    DWORD read = 0;
    while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr) && waiting > 0 &&
           ReadFile(pipe, chunk.data(), std::min<DWORD>(waiting, PIPE_BUFFER), &read, nullptr) && read > 0) {
        bytes.append(chunk.data(), read);
        if (bytes.size() > OUTPUT_KEPT)
            bytes.erase(0, bytes.size() - OUTPUT_KEPT);
    }
    return bytes;
}

// Suspended, so that it can join the job before it runs an instruction of its own, and nothing it
// starts escapes. Of this process's handles it inherits the pipe's writing end and nothing else.
PROCESS_INFORMATION startSuspended(const std::filesystem::path& exe, std::wstring& commandLine, HANDLE output)
{
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size); // asks for the size: fails by design
    std::vector<char> storage(size);
    const auto attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    require(InitializeProcThreadAttributeList(attributes, 1, 0, &size) != FALSE, "Run Windows helper");
    const BOOL listed = UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, &output,
                                                  sizeof output, nullptr, nullptr);
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdOutput = output;
    startup.StartupInfo.hStdError = output;
    startup.lpAttributeList = attributes;
    PROCESS_INFORMATION started{};
    // No console window; the wizard's environment; the helper's own folder as the current one.
    const BOOL ok = listed && CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                             CREATE_NO_WINDOW | CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT,
                                             nullptr, exe.parent_path().c_str(), &startup.StartupInfo, &started);
    const DWORD error = GetLastError();
    DeleteProcThreadAttributeList(attributes);
    SetLastError(error);
    require(ok != FALSE, "Run Windows helper");
    return started;
}

} // namespace

HelperResult command(const std::filesystem::path& exe, const std::wstring& args, DWORD timeoutMs)
{
    std::wstring commandLine = quote(exe.wstring()) + L" " + args; // CreateProcessW may write into it
    OutputPipe output = outputPipe();
    const UniqueHandle job = killOnCloseJob("Run Windows helper");
    const PROCESS_INFORMATION started = startSuspended(exe, commandLine, output.write.get());
    output.write.reset(); // the helper's copy is the one that counts
    const UniqueHandle thread(started.hThread);
    const UniqueHandle process(started.hProcess);
    joinJob(job.get(), process.get(), "Run Windows helper");
    require(ResumeThread(thread.get()) != static_cast<DWORD>(-1), "Run Windows helper"); // the job ends it

    if (WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) {
        // A failed wait is treated like a time-out: the helper must not outlive the wizard's patience.
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), KILL_GRACE_MS);
        throw std::runtime_error("Windows helper timed out");
    }
    HelperResult result;
    GetExitCodeProcess(process.get(), &result.exitCode); // stays 1 when it cannot be read: a failure
    result.output = lastBytes(output.read.get());
    return result;
}
