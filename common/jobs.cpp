#include "common/jobs.h"

#include "common/failure.h"

namespace {

// Creates program suspended, inheriting how.inherited and nothing else, and, when job is given,
// inside it from the start (Windows 10 and later know the attribute). Returns FALSE with the
// last error of whatever failed.
BOOL createSuspended(const std::filesystem::path& program, std::wstring& commandLine, const JobStart& how,
                     HANDLE* job, PROCESS_INFORMATION& started)
{
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 2, 0, &size); // asks for the size: fails by design
    std::vector<char> storage(size);
    const auto attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage.data());
    if (!InitializeProcThreadAttributeList(attributes, 2, 0, &size))
        return FALSE;
    const bool inherits = !how.inherited.empty();
    BOOL ok = !inherits || UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                                     const_cast<HANDLE*>(how.inherited.data()),
                                                     how.inherited.size() * sizeof(HANDLE), nullptr, nullptr);
    if (ok && job != nullptr)
        ok = UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, job, sizeof *job, nullptr,
                                       nullptr);
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    if (how.output != nullptr) {
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdOutput = how.output;
        startup.StartupInfo.hStdError = how.output;
    }
    startup.lpAttributeList = attributes;
    // No console window; this process's environment.
    ok = ok && CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, inherits,
                              CREATE_NO_WINDOW | CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT, nullptr,
                              how.folder, &startup.StartupInfo, &started);
    const DWORD error = GetLastError();
    DeleteProcThreadAttributeList(attributes);
    SetLastError(error);
    return ok;
}

// Puts a process started suspended into job before it runs an instruction of its own.
//
// One process is let run outside it: one that is already in a job which cannot take ours below
// it (AssignProcessToJobObject answers ERROR_ACCESS_DENIED). Since Windows 8 jobs nest, unless a
// job in the chain has UI limits; some deployment tools run installers in such a job. Breaking
// away needs that job's leave and would take the process out of the job that the tool relies on
// to end whatever the installer starts; refusing would fail every installation on those
// machines. So it stays in the tool's job, under the tool's limits, which ends it with the
// installation; only a setup ended on its own, apart from its job, leaves it to that job.
void join(HANDLE job, HANDLE process, const char* step)
{
    if (AssignProcessToJobObject(job, process))
        return;
    const DWORD error = GetLastError();
    BOOL inAnother = FALSE;
    if (error == ERROR_ACCESS_DENIED && IsProcessInJob(process, nullptr, &inAnother) && inAnother)
        return;
    TerminateProcess(process, 1);
    SetLastError(error);
    require(false, step);
}

} // namespace

UniqueHandle killOnCloseJob(const char* step)
{
    UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
    require(job != nullptr, step);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    require(SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits) != FALSE,
            step);
    return job;
}

UniqueHandle startInJob(HANDLE job, const std::filesystem::path& program, std::wstring& commandLine,
                        const JobStart& how, const char* step)
{
    // Created inside the job, there is no moment at which a kill of this process would leave the
    // new one behind, suspended and outside any job. Where Windows refuses that (before Windows 10
    // it does not know the attribute; a job that this process is in and that cannot take ours
    // below it may refuse it), it is created outside and joins before it runs; the failure of that
    // second start is the one reported.
    PROCESS_INFORMATION started{};
    const bool created = createSuspended(program, commandLine, how, &job, started) != FALSE;
    if (!created)
        require(createSuspended(program, commandLine, how, nullptr, started) != FALSE, step);
    UniqueHandle process(started.hProcess);
    const UniqueHandle thread(started.hThread);
    if (!created)
        join(job, process.get(), step);
    require(ResumeThread(thread.get()) != static_cast<DWORD>(-1), step); // the job ends it
    return process;
}
