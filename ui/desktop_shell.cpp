#include "ui/desktop_shell.h"

#include <windows.h>
#include <exdisp.h>
#include <servprov.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shlobj.h>

#include "common/handles.h"

namespace {

// The object a COM call handed out, owned at once; none when the call failed or handed out
// nothing (S_FALSE with no object is how FindWindowSW says that no window matched).
template <typename Interface, typename Call>
ComPtr<Interface> obtain(Call call)
{
    Interface* raw = nullptr;
    const HRESULT result = call(&raw);
    ComPtr<Interface> owned(raw);
    if (FAILED(result))
        owned.reset();
    return owned;
}

template <typename Interface>
ComPtr<Interface> ask(IUnknown* object)
{
    if (object == nullptr)
        return nullptr;
    return obtain<Interface>([object](Interface** out) { return object->QueryInterface(IID_PPV_ARGS(out)); });
}

// The browser of the desktop window, which only a running shell registers. ShellWindows is served
// by the desktop's Explorer in the signed-in user's session, whoever asks for it: a server of
// its own process, never loaded into this elevated one.
ComPtr<IShellBrowser> desktopBrowser()
{
    const auto windows = obtain<IShellWindows>([](IShellWindows** out) {
        return CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_PPV_ARGS(out));
    });
    if (!windows)
        return nullptr;
    // The class SWC_DESKTOP finds the window; the location names the desktop all the same.
    VARIANT desktop{};
    V_VT(&desktop) = VT_I4;
    V_I4(&desktop) = CSIDL_DESKTOP;
    VARIANT noRoot{}; // VT_EMPTY
    long window = 0;
    const auto found = obtain<IDispatch>([&](IDispatch** out) {
        return windows->FindWindowSW(&desktop, &noRoot, SWC_DESKTOP, &window, SWFO_NEEDDISPATCH, out);
    });
    const auto services = ask<IServiceProvider>(found.get());
    if (!services)
        return nullptr;
    return obtain<IShellBrowser>([&](IShellBrowser** out) {
        return services->QueryService(SID_STopLevelBrowser, IID_PPV_ARGS(out));
    });
}

// The shell's automation object, reached through the desktop's view: the one that runs in
// Explorer's process rather than in this one.
ComPtr<IShellDispatch2> desktopShell()
{
    const auto browser = desktopBrowser();
    if (!browser)
        return nullptr;
    const auto view = obtain<IShellView>([&](IShellView** out) { return browser->QueryActiveShellView(out); });
    if (!view)
        return nullptr;
    const auto background =
        obtain<IDispatch>([&](IDispatch** out) { return view->GetItemObject(SVGIO_BACKGROUND, IID_PPV_ARGS(out)); });
    const auto folderView = ask<IShellFolderViewDual>(background.get());
    if (!folderView)
        return nullptr;
    const auto application = obtain<IDispatch>([&](IDispatch** out) { return folderView->get_Application(out); });
    return ask<IShellDispatch2>(application.get());
}

// The callee only reads an [in] VARIANT, so one that lends a text needs no clearing.
VARIANT lent(BSTR text)
{
    VARIANT value{};
    V_VT(&value) = VT_BSTR;
    V_BSTR(&value) = text;
    return value;
}

VARIANT integer(long number)
{
    VARIANT value{};
    V_VT(&value) = VT_I4;
    V_I4(&value) = number;
    return value;
}

} // namespace

void openAsSignedInUser(const std::wstring& address)
{
    const auto shell = desktopShell();
    const UniqueBstr file(SysAllocString(address.c_str()));
    const UniqueBstr empty(SysAllocString(L""));
    const UniqueBstr verb(SysAllocString(L"open"));
    if (!shell || !file || !empty || !verb)
        return;
    // Opening is a courtesy after the work is done; its result changes nothing.
    shell->ShellExecute(file.get(), lent(empty.get()), lent(empty.get()), lent(verb.get()), integer(SW_SHOWNORMAL));
}
