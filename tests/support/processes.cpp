#include "tests/support/processes.h"

#include <stdexcept>
#include <thread>

#include "common/folders.h"
#include "common/handles.h"
#include "common/text.h"

namespace {

std::string readAll(HANDLE pipe)
{
    std::string output;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &read, nullptr) && read > 0)
        output.append(buffer, read);
    return output;
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
    std::thread drain([&] { output = readAll(reader.get()); });
    const DWORD waited = WaitForSingleObject(process.get(), timeoutMs);
    if (waited != WAIT_OBJECT_0)
        TerminateProcess(process.get(), 1);
    drain.join();
    if (waited != WAIT_OBJECT_0)
        throw std::runtime_error(narrow(program.wstring()) + " did not end in time");

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
