// The C form of the COM declarations gives each method table as a struct of function pointers,
// so the few methods the stand-in answers are put in their slots with their own types.
#define CINTERFACE
#include <windows.h>
#include <exdisp.h>
#include <servprov.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shlobj.h>

#include <atomic>
#include <cstddef>
#include <cstring>

#include "common/text.h"
#include "tests/shim/desktop_shell.h"
#include "tests/shim/records.h"

namespace {

// The objects of the walk, one kind each; "services" is the desktop window's IServiceProvider.
enum Kind { WINDOWS, DESKTOP, SERVICES, BROWSER, VIEW, FOLDER_VIEW, SHELL, KINDS };
constexpr const char* KIND_NAMES[KINDS] = {"ShellWindows", "desktop", "services", "browser",
                                           "view",         "folderView", "shell"};

// Room for the largest of these method tables (IShellDispatch2). Every slot the walk does not use
// answers E_NOTIMPL, which the x64 calling convention makes safe whatever the method's arguments.
constexpr std::size_t SLOTS = 64;
struct Table {
    alignas(void*) unsigned char bytes[SLOTS * sizeof(void*)];
};
Table tables[KINDS];

struct StandIn {
    const void* table; // first, where COM callers find the method table
    Kind kind;
    std::atomic<ULONG> references{1};
};

// The interfaces each object answers besides IUnknown, and with which object.
struct Face {
    Kind kind;
    const IID* asked;
    Kind answer;
};
const Face FACES[] = {
    {WINDOWS, &IID_IDispatch, WINDOWS}, {WINDOWS, &IID_IShellWindows, WINDOWS},
    {DESKTOP, &IID_IDispatch, DESKTOP}, {DESKTOP, &IID_IServiceProvider, SERVICES},
    {SERVICES, &IID_IServiceProvider, SERVICES},
    {BROWSER, &IID_IShellBrowser, BROWSER},
    {VIEW, &IID_IShellView, VIEW},
    {FOLDER_VIEW, &IID_IDispatch, FOLDER_VIEW}, {FOLDER_VIEW, &IID_IShellFolderViewDual, FOLDER_VIEW},
    {SHELL, &IID_IDispatch, SHELL}, {SHELL, &IID_IShellDispatch, SHELL}, {SHELL, &IID_IShellDispatch2, SHELL},
};

bool desktopShown = true;

StandIn* make(Kind kind)
{
    return new StandIn{&tables[kind], kind};
}

ULONG STDMETHODCALLTYPE addRef(StandIn* self)
{
    return ++self->references;
}

ULONG STDMETHODCALLTYPE release(StandIn* self)
{
    const ULONG count = --self->references;
    if (count == 0) {
        writeRecord("DesktopShell::Release", {{"object", KIND_NAMES[self->kind]}});
        delete self;
    }
    return count;
}

HRESULT STDMETHODCALLTYPE queryInterface(StandIn* self, REFIID asked, void** out)
{
    *out = nullptr;
    if (IsEqualIID(asked, IID_IUnknown)) {
        addRef(self);
        *out = self;
        return S_OK;
    }
    for (const Face& face : FACES) {
        if (face.kind != self->kind || !IsEqualIID(asked, *face.asked))
            continue;
        if (face.answer == self->kind)
            addRef(self);
        *out = face.answer == self->kind ? self : make(face.answer);
        return S_OK;
    }
    return E_NOINTERFACE;
}

// A new object of kind, handed out as the interface asked for, if it has that interface.
HRESULT handOut(Kind kind, REFIID asked, void** out)
{
    StandIn* object = make(kind);
    const HRESULT result = queryInterface(object, asked, out);
    if (FAILED(result))
        delete object; // never handed out
    else
        release(object); // the caller holds the reference that QueryInterface added
    return result;
}

HRESULT STDMETHODCALLTYPE notImplemented()
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE findWindow(IShellWindows*, VARIANT*, VARIANT*, int windowClass, LONG* window, int options,
                                     IDispatch** found)
{
    *window = 0;
    *found = nullptr;
    const bool shown = desktopShown && windowClass == SWC_DESKTOP && (options & SWFO_NEEDDISPATCH) != 0;
    if (shown)
        *found = reinterpret_cast<IDispatch*>(make(DESKTOP));
    const HRESULT result = shown ? S_OK : S_FALSE; // S_FALSE: no such window
    writeRecord("IShellWindows::FindWindowSW", {{"class", decimal(static_cast<unsigned>(windowClass))},
                                                {"options", decimal(static_cast<unsigned>(options))},
                                                {"result", hexadecimal(static_cast<std::uint32_t>(result), 8)}});
    return result;
}

HRESULT STDMETHODCALLTYPE queryService(IServiceProvider*, REFGUID service, REFIID asked, void** out)
{
    *out = nullptr;
    return IsEqualGUID(service, SID_STopLevelBrowser) ? handOut(BROWSER, asked, out) : E_NOINTERFACE;
}

HRESULT STDMETHODCALLTYPE activeView(IShellBrowser*, IShellView** view)
{
    *view = reinterpret_cast<IShellView*>(make(VIEW));
    return S_OK;
}

HRESULT STDMETHODCALLTYPE itemObject(IShellView*, UINT item, REFIID asked, void** out)
{
    *out = nullptr;
    return item == SVGIO_BACKGROUND ? handOut(FOLDER_VIEW, asked, out) : E_INVALIDARG;
}

HRESULT STDMETHODCALLTYPE application(IShellFolderViewDual*, IDispatch** shell)
{
    *shell = reinterpret_cast<IDispatch*>(make(SHELL));
    return S_OK;
}

std::string bstrText(BSTR text)
{
    return text != nullptr ? narrow(std::wstring(text, SysStringLen(text))) : "(null)";
}

std::string variantText(const VARIANT& value)
{
    switch (V_VT(&value)) {
    case VT_EMPTY: return "VT_EMPTY";
    case VT_I4: return "VT_I4:" + std::to_string(V_I4(&value));
    case VT_BSTR: return "VT_BSTR:" + bstrText(V_BSTR(&value));
    default: return "vt=" + decimal(V_VT(&value));
    }
}

HRESULT STDMETHODCALLTYPE shellExecute(IShellDispatch2*, BSTR file, VARIANT arguments, VARIANT folder,
                                       VARIANT operation, VARIANT show)
{
    writeRecord("IShellDispatch2::ShellExecute",
                {{"file", bstrText(file)},
                 {"arguments", variantText(arguments)},
                 {"folder", variantText(folder)},
                 {"operation", variantText(operation)},
                 {"show", variantText(show)}});
    return S_OK;
}

// The typed view of a kind's table; written after the slots were filled through memcpy, which
// may alias anything.
template <typename Vtbl>
Vtbl* typed(Kind kind)
{
    static_assert(sizeof(Vtbl) <= sizeof(Table), "a method table does not fit");
    return reinterpret_cast<Vtbl*>(tables[kind].bytes);
}

void put(Table& table, std::size_t slot, void* function)
{
    std::memcpy(table.bytes + slot * sizeof(void*), &function, sizeof function);
}

} // namespace

void installDesktopShell(const Plan& plan)
{
    desktopShown = plan.desktopShown;
    for (Table& table : tables) {
        for (std::size_t slot = 3; slot < SLOTS; ++slot)
            put(table, slot, reinterpret_cast<void*>(&notImplemented));
        put(table, 0, reinterpret_cast<void*>(&queryInterface));
        put(table, 1, reinterpret_cast<void*>(&addRef));
        put(table, 2, reinterpret_cast<void*>(&release));
    }
    typed<IShellWindowsVtbl>(WINDOWS)->FindWindowSW = findWindow;
    typed<IServiceProviderVtbl>(SERVICES)->QueryService = queryService;
    typed<IShellBrowserVtbl>(BROWSER)->QueryActiveShellView = activeView;
    typed<IShellViewVtbl>(VIEW)->GetItemObject = itemObject;
    typed<IShellFolderViewDualVtbl>(FOLDER_VIEW)->get_Application = application;
    typed<IShellDispatch2Vtbl>(SHELL)->ShellExecute = shellExecute;
}

HRESULT createDesktopShell(REFIID requested, void** object)
{
    return handOut(WINDOWS, requested, object);
}
