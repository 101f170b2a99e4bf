#include "common/jobs.h"

#include "common/failure.h"

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

void joinJob(HANDLE job, HANDLE process, const char* step)
{
    if (AssignProcessToJobObject(job, process))
        return;
    const DWORD error = GetLastError();
    TerminateProcess(process, 1);
    SetLastError(error);
    require(false, step);
}
