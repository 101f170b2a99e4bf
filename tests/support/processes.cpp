#include "tests/support/processes.h"

#include <tlhelp32.h>

#include <algorithm>
#include <stdexcept>

#include "common/folders.h"
#include "common/handles.h"
#include "common/text.h"

namespace {

// Reads what the child writes until it has ended and nothing is left in the pipe. Reading to
// the pipe's end is not enough under Wine: a Wine helper that the child starts (the desktop
// process, for one) inherits its standard error and may keep the pipe open long after.
bool readUntilEnd(HANDLE pipe, HANDLE process, DWORD timeoutMs, std::string& output)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    char buffer[4096];
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr))
            return true; // every writer is gone
        if (available > 0) {
            DWORD read = 0;
            if (!ReadFile(pipe, buffer, std::min<DWORD>(available, sizeof buffer), &read, nullptr))
                return true;
            output.append(buffer, read);
            continue;
        }
        if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0) {
            PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr);
            if (available == 0)
                return true; // ended, and its last words are read
            continue;
        }
        if (GetTickCount64() > deadline)
            return false;
        WaitForSingleObject(process, 20);
    }
}

} // namespace

ProcessResult captureOutput(const std::filesystem::path& program, DWORD timeoutMs,
                            const std::function<UniqueHandle(STARTUPINFOW&)>& start)
{
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0))
        throw std::runtime_error("CreatePipe failed");
    UniqueHandle reader(readEnd);
    UniqueHandle writer(writeEnd);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    const UniqueHandle process = start(startup);
    writer.reset(); // the child holds the only write end now, so reading ends when it ends

    std::string output;
    if (!readUntilEnd(reader.get(), process.get(), timeoutMs, output)) {
        TerminateProcess(process.get(), 1);
        throw std::runtime_error(narrow(program.wstring()) + " did not end in time");
    }

    ProcessResult result;
    GetExitCodeProcess(process.get(), &result.exitCode);
    result.output = std::move(output);
    return result;
}

ProcessResult runProcess(const std::filesystem::path& program, const std::wstring& arguments,
                         DWORD timeoutMs)
{
    return captureOutput(program, timeoutMs, [&](STARTUPINFOW& startup) {
        PROCESS_INFORMATION process{};
        std::wstring commandLine = quote(program.wstring()) + L" " + arguments;
        if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                            &startup, &process))
            throw std::runtime_error("Cannot start " + narrow(program.wstring()));
        CloseHandle(process.hThread);
        return UniqueHandle(process.hProcess);
    });
}

std::filesystem::path testProgramFolder()
{
    return exePath().parent_path();
}

std::vector<DWORD> processesNamed(const wchar_t* image)
{
    const UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    std::vector<DWORD> found;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry))
        if (_wcsicmp(entry.szExeFile, image) == 0)
            found.push_back(entry.th32ProcessID);
    return found;
}
