#include "tests/support/shim.h"

#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

#include "common/text.h"
#include "tests/shim/inject.h"
#include "tests/shim/records.h"

namespace {

HMODULE loadedShim = nullptr;
// Taken before the shim is loaded: once it is, every import that this code calls counts
// among the test program's calls, so the helpers below call as few as they can.
std::filesystem::path sessionFolder;
DWORD ownProcess = 0;

std::filesystem::path shimDll()
{
    return testProgramFolder() / L"qmshim.dll";
}

void writeFile(const std::filesystem::path& path, const std::string& content)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
    if (!file.flush())
        throw std::runtime_error("cannot write " + narrow(path.wstring()));
}

// A new plan and an empty record file, named in the variables that the shim and its followed
// children read.
void beginSession(const std::string& plan)
{
    unloadShim();
    ownProcess = GetCurrentProcessId();
    sessionFolder = std::filesystem::temp_directory_path() / ("qmshim-" + std::to_string(ownProcess));
    const std::filesystem::path folder = sessionFolder;
    std::filesystem::create_directories(folder);
    writeFile(folder / L"plan.txt", plan);
    writeFile(folder / L"records.txt", "");
    SetEnvironmentVariableW(L"QM_SHIM_PLAN", (folder / L"plan.txt").c_str());
    SetEnvironmentVariableW(L"QM_SHIM_RECORDS", (folder / L"records.txt").c_str());
}

std::string unescape(const std::string& field)
{
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\' || i + 1 == field.size()) {
            text += field[i];
            continue;
        }
        const char next = field[++i];
        text += next == 't' ? '\t' : next == 'r' ? '\r' : next == 'n' ? '\n' : next;
    }
    return text;
}

ShimRecord parseRecord(const std::string& line)
{
    std::vector<std::string> parts;
    std::stringstream stream(line);
    for (std::string part; std::getline(stream, part, '\t');)
        parts.push_back(unescape(part));
    if (parts.size() < 3)
        throw std::runtime_error("malformed shim record: " + line);
    ShimRecord record{static_cast<DWORD>(std::stoul(parts[0])), parts[1], parts[2], {}};
    for (std::size_t i = 3; i < parts.size(); ++i) {
        const auto equals = parts[i].find('=');
        record.fields.emplace_back(parts[i].substr(0, equals),
                                   equals == std::string::npos ? "" : parts[i].substr(equals + 1));
    }
    return record;
}

} // namespace

void resumeShim()
{
    const UniqueHandle resumed(
        CreateEventW(nullptr, TRUE, FALSE, sessionName((sessionFolder / L"records.txt").wstring(), L"resume").c_str()));
    SetEvent(resumed.get()); // the paused calls hold the event, so it stays set for them
}

namespace {

// Turns the shim's own complaints about a process into a failure of the test.
void requireAccepted(DWORD process, const std::string& target)
{
    std::string problems;
    for (const ShimRecord& record : readShimRecords()) {
        if (record.process != process)
            continue;
        if (record.function == "shim.error")
            problems += " " + record["reason"] + ";";
        if (record.function == "shim.unmatched")
            problems += " " + record["function"] + " is not imported by " + record.image + ";";
    }
    if (!problems.empty())
        throw std::runtime_error("qmshim refused the plan for " + target + ":" + problems);
}

ShimProcess startSuspendedWithShim(const std::filesystem::path& program, const std::wstring& arguments,
                                   const std::string& plan, STARTUPINFOW& startup, bool inherit)
{
    beginSession(plan);
    std::wstring commandLine = quote(program.wstring()) + L" " + arguments;
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, inherit, CREATE_SUSPENDED, nullptr,
                        nullptr, &startup, &started))
        throw std::runtime_error("Cannot start " + narrow(program.wstring()));
    ShimProcess process{UniqueHandle(started.hProcess), started.dwProcessId};
    const UniqueHandle thread(started.hThread);
    const DWORD error = injectLibrary(started.hProcess, shimDll().wstring());
    try {
        requireAccepted(process.id, narrow(program.filename().wstring())); // the shim's own reason first
        if (error != ERROR_SUCCESS)
            throw std::runtime_error("qmshim could not be loaded into " + narrow(program.wstring()) + " (" +
                                     std::to_string(error) + ")");
    } catch (...) {
        TerminateProcess(started.hProcess, 1);
        throw;
    }
    ResumeThread(started.hThread);
    return process;
}

} // namespace

bool ShimRecord::has(std::string_view name) const
{
    for (const auto& field : fields)
        if (field.first == name)
            return true;
    return false;
}

const std::string& ShimRecord::operator[](std::string_view name) const
{
    for (const auto& field : fields)
        if (field.first == name)
            return field.second;
    throw std::out_of_range(function + " record has no field " + std::string(name));
}

void loadShim(const std::string& plan)
{
    beginSession(plan);
    loadedShim = LoadLibraryW(shimDll().c_str());
    if (loadedShim == nullptr) {
        const DWORD error = GetLastError();
        requireAccepted(ownProcess, "this test");
        throw std::runtime_error("cannot load " + narrow(shimDll().wstring()) + " (" + std::to_string(error) + ")");
    }
    requireAccepted(ownProcess, "this test");
}

void unloadShim()
{
    if (loadedShim != nullptr)
        FreeLibrary(loadedShim);
    loadedShim = nullptr;
    SetEnvironmentVariableW(L"QM_SHIM_PLAN", nullptr);
    SetEnvironmentVariableW(L"QM_SHIM_RECORDS", nullptr);
    if (!sessionFolder.empty()) {
        std::error_code ignored; // what cannot be deleted now is overwritten by the next session
        std::filesystem::remove_all(sessionFolder, ignored);
    }
    sessionFolder.clear();
}

ShimProcess startWithShim(const std::filesystem::path& program, const std::wstring& arguments,
                          const std::string& plan)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    return startSuspendedWithShim(program, arguments, plan, startup, false);
}

ProcessResult runWithShim(const std::filesystem::path& program, const std::wstring& arguments,
                          const std::string& plan, DWORD timeoutMs)
{
    return captureOutput(program, timeoutMs, [&](STARTUPINFOW& startup) {
        return std::move(startSuspendedWithShim(program, arguments, plan, startup, true).process);
    });
}

bool shimRecorded(std::string_view function)
{
    std::ifstream file(sessionFolder / L"records.txt", std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::string wanted(1, '\t');
    wanted.append(function).append("\tus=");
    return text.find(wanted) != std::string::npos;
}

std::vector<ShimRecord> readShimRecords()
{
    std::ifstream file(sessionFolder / L"records.txt", std::ios::binary);
    std::vector<ShimRecord> records;
    for (std::string line; std::getline(file, line);)
        if (!line.empty())
            records.push_back(parseRecord(line));
    return records;
}

std::vector<ShimRecord> readShimRecords(std::string_view function)
{
    std::vector<ShimRecord> chosen;
    for (ShimRecord& record : readShimRecords())
        if (record.function == function)
            chosen.push_back(std::move(record));
    return chosen;
}

std::vector<std::string> recordedFields(std::string_view function, std::initializer_list<std::string_view> names)
{
    std::vector<std::string> calls;
    for (const ShimRecord& record : readShimRecords(function)) {
        std::string fields;
        for (const std::string_view name : names)
            if (record.has(name))
                fields.append(fields.empty() ? "" : " ").append(name).append("=").append(record[name]);
        calls.push_back(fields);
    }
    return calls;
}
