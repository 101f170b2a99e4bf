#include "tests/shim/intercept.h"

#include <windows.h>
#include <sddl.h>

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <stdexcept>

#include "common/text.h"
#include "tests/shim/path_limits.h"
#include "tests/shim/records.h"

extern "C" void qmShimThunk();

namespace {

struct Slot {
    void** address;
    void* original;
};

// Process-lifetime state behind plain pointers: calls can arrive while the process ends, after
// this DLL's static destructors have run.
std::vector<Entry*>* entries = nullptr;
std::vector<Slot>* slots = nullptr;
std::uint8_t* stubs = nullptr;

constexpr std::size_t STUB_SIZE = 32;

// mov r11, entry ; jmp [rip+0] ; dq qmShimThunk
void writeStub(std::uint8_t* stub, Entry* entry)
{
    const std::uint64_t entryAddress = reinterpret_cast<std::uint64_t>(entry);
    const std::uint64_t thunkAddress = reinterpret_cast<std::uint64_t>(&qmShimThunk);
    stub[0] = 0x49;
    stub[1] = 0xBB;
    std::memcpy(stub + 2, &entryAddress, 8);
    const std::uint8_t jump[] = {0xFF, 0x25, 0x00, 0x00, 0x00, 0x00};
    std::memcpy(stub + 10, jump, sizeof jump);
    std::memcpy(stub + 16, &thunkAddress, 8);
}

bool writeSlot(void** address, void* value)
{
    DWORD previous = 0;
    if (!VirtualProtect(address, sizeof(void*), PAGE_READWRITE, &previous))
        return false;
    *address = value;
    VirtualProtect(address, sizeof(void*), previous, &previous); // as it was; failure changes nothing
    return true;
}

// An access list in the words of a security descriptor string ("D:(A;OICI;FA;;;SY)..."): Wine
// does not keep the list it is given for a folder, so a test can only see it on its way there.
std::string accessListText(const ACL* list)
{
    if (list == nullptr)
        return "(null)";
    SECURITY_DESCRIPTOR descriptor{};
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, const_cast<ACL*>(list), FALSE);
    wchar_t* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(&descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                              &text, nullptr))
        return "(unreadable)";
    const std::string result = narrow(text);
    LocalFree(text);
    return result;
}

// What security attributes give a new object: its owner, if they name one, and the access list
// with the descriptor's own flags ("O:BAD:P(...)": owned by Administrators, a protected list that
// inherits nothing from the parent folder).
std::string descriptorText(PSECURITY_DESCRIPTOR descriptor)
{
    if (descriptor == nullptr)
        return "(null)";
    wchar_t* text = nullptr;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                                              &text, nullptr))
        return "(unreadable)";
    const std::string result = narrow(text);
    LocalFree(text);
    return result;
}

std::string securityAttributesText(const SECURITY_ATTRIBUTES* attributes)
{
    return descriptorText(attributes != nullptr ? attributes->lpSecurityDescriptor : nullptr);
}

// A file or folder handle as the path it stands for.
std::string handleText(HANDLE handle)
{
    std::wstring path(32768, L'\0');
    const DWORD length = GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()), 0);
    path.resize(length < path.size() ? length : 0);
    return length != 0 ? narrow(path) : "(unknown)";
}

std::string argumentText(ArgumentKind kind, std::uint64_t value)
{
    switch (kind) {
    case ArgumentKind::decimal: return decimal(static_cast<std::uint32_t>(value));
    case ArgumentKind::hex: return hexadecimal(static_cast<std::uint32_t>(value));
    case ArgumentKind::pointer: return hexadecimal(value);
    case ArgumentKind::wideText: {
        if (value == 0)
            return "(null)";
        const auto* text = reinterpret_cast<const wchar_t*>(value);
        return narrow(std::wstring(text, wcsnlen(text, 32768)));
    }
    case ArgumentKind::accessList: return accessListText(reinterpret_cast<const ACL*>(value));
    case ArgumentKind::securityAttributes:
        return securityAttributesText(reinterpret_cast<const SECURITY_ATTRIBUTES*>(value));
    case ArgumentKind::descriptor: return descriptorText(reinterpret_cast<PSECURITY_DESCRIPTOR>(value));
    case ArgumentKind::handle: return handleText(reinterpret_cast<HANDLE>(value));
    case ArgumentKind::narrowText: {
        if (value == 0)
            return "(null)";
        const auto* text = reinterpret_cast<const char*>(value);
        const std::string ansi(text, strnlen(text, 32768));
        std::wstring wide(ansi.size(), L'\0');
        const int length = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()),
                                               wide.data(), static_cast<int>(wide.size()));
        wide.resize(length > 0 ? length : 0);
        return narrow(wide);
    }
    }
    return {};
}

// registers: rcx, rdx, r8, r9 as the caller left them; stack: the caller's argument area, whose
// first four slots are the home space of those registers.
Fields callFields(const Entry& entry, std::uint64_t call, const Fault* fault,
                  const std::uint64_t* registers, const std::uint64_t* stack)
{
    Fields fields{{"call", decimal(call)}};
    for (std::size_t i = 0; i < entry.arguments.size(); ++i)
        fields.emplace_back("arg" + std::to_string(i + 1),
                            argumentText(entry.arguments[i], i < 4 ? registers[i] : stack[i]));
    if (fault != nullptr) {
        fields.emplace_back("fault", "yes");
        fields.emplace_back("return", hexadecimal(fault->value));
        if (fault->error)
            fields.emplace_back("error", decimal(*fault->error));
        if (fault->crtError)
            fields.emplace_back("errno", decimal(static_cast<std::uint64_t>(*fault->crtError)));
    }
    return fields;
}

// Only this thread stops, at the planned call, before anything of it is done; the record tells
// the test that the process has got there and can be killed.
[[noreturn]] void hang(const Entry& entry, std::uint64_t call)
{
    try {
        writeRecord("hang", {{"function", entry.name}, {"call", decimal(call)}});
    } catch (...) {
        OutputDebugStringA("qmshim: a hang could not be recorded\n");
    }
    for (;;)
        Sleep(INFINITE);
}

// Only this thread waits, at the planned call, before anything of it is done, until the test
// resumes the session (resumeShim); then the call goes on as if nothing had been planned.
void pause(const Entry& entry, std::uint64_t call)
{
    const HANDLE resumed = CreateEventW(nullptr, TRUE, FALSE, sessionObjectName(L"resume").c_str());
    writeRecord("pause", {{"function", entry.name}, {"call", decimal(call)}});
    WaitForSingleObject(resumed, INFINITE);
    CloseHandle(resumed);
}

} // namespace

// Called by qmShimThunk for every call through a patched slot. Returns the address to continue
// at with the original arguments, or null after placing the planned return value in *result.
extern "C" void* qmShimDecide(Entry* entry, const std::uint64_t* registers, const std::uint64_t* stack,
                              std::uint64_t* result) noexcept
{
    const DWORD lastError = GetLastError();
    std::uint64_t call = 0;
    const Fault* fault = countCall(*entry, call);
    if (fault != nullptr && fault->hang)
        hang(*entry, call);
    if (fault != nullptr && fault->pause) {
        pause(*entry, call);
        fault = nullptr;
    }
    if (fault != nullptr || entry->recorded) {
        try {
            writeRecord(entry->name, callFields(*entry, call, fault, registers, stack));
        } catch (...) {
            OutputDebugStringA("qmshim: a call could not be recorded\n");
        }
    }
    if (fault != nullptr) {
        *result = fault->value;
        // The shim and the program share msvcrt.dll, and with it the thread's errno.
        if (fault->crtError)
            errno = *fault->crtError;
        SetLastError(fault->error.value_or(lastError));
        return nullptr;
    }
    if (entry->pathLimit != nullptr && refusedForLength(*entry, registers, call, result))
        return nullptr;
    SetLastError(lastError);
    return entry->replacement != nullptr ? entry->replacement : entry->original;
}

Entry& intercept(const std::string& name)
{
    if (entries == nullptr)
        entries = new std::vector<Entry*>;
    if (Entry* existing = findEntry(name))
        return *existing;
    entries->push_back(new Entry);
    entries->back()->name = name;
    return *entries->back();
}

Entry* findEntry(const std::string& name)
{
    if (entries == nullptr)
        return nullptr;
    for (Entry* entry : *entries)
        if (entry->name == name)
            return entry;
    return nullptr;
}

std::vector<Entry*> allEntries()
{
    return entries != nullptr ? *entries : std::vector<Entry*>{};
}

const Fault* countCall(Entry& entry, std::uint64_t& call)
{
    call = entry.calls.fetch_add(1, std::memory_order_relaxed) + 1;
    for (const Fault& fault : entry.faults)
        if (call == fault.call || (fault.onward && call > fault.call))
            return &fault;
    return nullptr;
}

namespace {

// The import slots of the main module that have an entry, with that entry. Imports by ordinal
// have no name to plan by and are left alone.
std::vector<std::pair<void**, Entry*>> plannedSlots()
{
    auto* base = reinterpret_cast<std::uint8_t*>(GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    std::vector<std::pair<void**, Entry*>> found;
    if (imports.VirtualAddress == 0)
        return found;
    for (auto* library = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         library->Name != 0; ++library) {
        if (library->OriginalFirstThunk == 0)
            continue; // without the name table, the bound slots cannot be told apart
        auto* names = reinterpret_cast<const IMAGE_THUNK_DATA64*>(base + library->OriginalFirstThunk);
        auto* bound = reinterpret_cast<IMAGE_THUNK_DATA64*>(base + library->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++bound) {
            if (IMAGE_SNAP_BY_ORDINAL64(names->u1.Ordinal))
                continue;
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            Entry* entry = findEntry(reinterpret_cast<const char*>(byName->Name));
            if (entry == nullptr)
                continue;
            if (bound->u1.Function == names->u1.AddressOfData)
                throw std::runtime_error("the imports of the main module are not bound yet");
            found.emplace_back(reinterpret_cast<void**>(&bound->u1.Function), entry);
        }
    }
    return found;
}

} // namespace

std::size_t patchMainModule()
{
    const auto found = plannedSlots();
    if (found.empty())
        return 0;
    const std::size_t size = allEntries().size() * STUB_SIZE;
    stubs = static_cast<std::uint8_t*>(VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    if (stubs == nullptr)
        throw std::runtime_error("cannot allocate the stubs (" + std::to_string(GetLastError()) + ")");
    for (std::size_t i = 0; i < entries->size(); ++i)
        writeStub(stubs + i * STUB_SIZE, (*entries)[i]);
    DWORD previous = 0;
    if (!VirtualProtect(stubs, size, PAGE_EXECUTE_READ, &previous))
        throw std::runtime_error("cannot make the stubs executable (" + std::to_string(GetLastError()) + ")");
    FlushInstructionCache(GetCurrentProcess(), stubs, size);

    slots = new std::vector<Slot>;
    for (const auto& [address, entry] : found) {
        std::size_t index = 0;
        while ((*entries)[index] != entry)
            ++index;
        // A name imported from two libraries keeps the first library's function as its original.
        if (!entry->patched)
            entry->original = *address;
        entry->patched = true;
        slots->push_back(Slot{address, *address});
        if (!writeSlot(address, stubs + index * STUB_SIZE))
            throw std::runtime_error("cannot unprotect an import slot (" + std::to_string(GetLastError()) + ")");
    }
    return slots->size();
}

void unpatchMainModule()
{
    if (slots != nullptr)
        for (const Slot& slot : *slots)
            if (!writeSlot(slot.address, slot.original))
                OutputDebugStringA("qmshim: an import slot could not be put back\n");
    delete slots;
    slots = nullptr;
    if (stubs != nullptr)
        VirtualFree(stubs, 0, MEM_RELEASE);
    stubs = nullptr;
    if (entries != nullptr)
        for (Entry* entry : *entries)
            delete entry;
    delete entries;
    entries = nullptr;
}
