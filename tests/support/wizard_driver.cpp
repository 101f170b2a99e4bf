#include "tests/support/wizard_driver.h"

#include <commctrl.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "common/text.h"
#include "tests/support/processes.h"

namespace fs = std::filesystem;

namespace {

std::wstring className(HWND window)
{
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

DWORD processOf(HWND window)
{
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    return process;
}

std::vector<HWND> children(HWND window)
{
    std::vector<HWND> found;
    for (HWND child = GetWindow(window, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
        found.push_back(child);
    return found;
}

// The wizard's controls, told apart by the order of the sibling list: the order of creation, but
// for the body, which the wizard puts below the port label and field that lie inside it.
bool readControls(Wizard& wizard)
{
    const std::vector<HWND> found = children(wizard.window);
    if (found.size() != 9)
        return false;
    HWND* slots[] = {&wizard.title, &wizard.portLabel, &wizard.portEdit, &wizard.body, &wizard.choice,
                     &wizard.progress, &wizard.back, &wizard.next, &wizard.cancel};
    const wchar_t* classes[] = {L"Static", L"Static", L"Edit", L"Static", L"Button",
                                L"msctls_progress32", L"Button", L"Button", L"Button"};
    for (size_t i = 0; i < 9; ++i) {
        if (CompareStringOrdinal(className(found[i]).c_str(), -1, classes[i], -1, TRUE) != CSTR_EQUAL)
            throw std::runtime_error("wizard control " + std::to_string(i) + " is a " + narrow(className(found[i])));
        *slots[i] = found[i];
    }
    return true;
}

// The top-level windows of a class, topmost first.
std::vector<HWND> topWindows(const wchar_t* windowClass)
{
    std::vector<HWND> found;
    for (HWND window = FindWindowExW(nullptr, nullptr, windowClass, nullptr); window != nullptr;
         window = FindWindowExW(nullptr, window, windowClass, nullptr))
        found.push_back(window);
    return found;
}

HWND wizardWindow(DWORD process)
{
    for (HWND window : topWindows(L"QuellmarkConsoleSetup"))
        if (process == 0 || processOf(window) == process)
            return window;
    return nullptr;
}

// A picture of a screen rectangle: 24-bit rows from the bottom up, each padded to four bytes,
// exactly as a BMP file holds them.
std::vector<char> capture(const RECT& area)
{
    const int width = area.right - area.left;
    const int height = area.bottom - area.top;
    const HDC screen = GetDC(nullptr);
    const HDC memory = CreateCompatibleDC(screen);
    const HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
    const HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
    SelectObject(memory, previous);
    BITMAPINFOHEADER header{sizeof header, width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    std::vector<char> pixels(static_cast<size_t>((width * 3 + 3) & ~3) * height);
    GetDIBits(memory, bitmap, 0, height, pixels.data(), reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

void writeBitmap(const fs::path& file, int width, int height, const std::vector<char>& pixels)
{
    const BITMAPINFOHEADER header{sizeof header, width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
    BITMAPFILEHEADER fileHeader{};
    fileHeader.bfType = 0x4D42; // "BM"
    fileHeader.bfOffBits = sizeof fileHeader + sizeof header;
    fileHeader.bfSize = static_cast<DWORD>(fileHeader.bfOffBits + pixels.size());
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(&fileHeader), sizeof fileHeader);
    out.write(reinterpret_cast<const char*>(&header), sizeof header);
    out.write(pixels.data(), static_cast<std::streamsize>(pixels.size()));
    if (!out.flush())
        throw std::runtime_error("cannot write " + narrow(file.wstring()));
}

} // namespace

void drawOwnTitleBars()
{
    const wchar_t no[] = L"N";
    if (RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Wine\\X11 Driver", L"Managed", REG_SZ, no, sizeof no) !=
        ERROR_SUCCESS)
        throw std::runtime_error("cannot set Wine's X11 driver to draw title bars");
}

Wizard findWizard(DWORD process, DWORD timeoutMs)
{
    Wizard wizard;
    waitFor(
        [&] {
            wizard.window = wizardWindow(process);
            return wizard.window != nullptr && IsWindowVisible(wizard.window) && readControls(wizard);
        },
        "the wizard window to open", timeoutMs);
    return wizard;
}

void waitFor(const std::function<bool()>& condition, const std::string& what, DWORD timeoutMs)
{
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (!condition()) {
        if (GetTickCount64() > deadline)
            throw std::runtime_error("waited in vain for " + what);
        Sleep(10);
    }
}

LRESULT ask(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    // A thread that does not answer in time is a failure of the test, not a reason to wait for ever.
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, message, wParam, lParam, SMTO_ABORTIFHUNG, 5000, &result))
        throw std::runtime_error("the wizard did not answer message " + std::to_string(message));
    return static_cast<LRESULT>(result);
}

std::wstring textOf(HWND window)
{
    const auto length = static_cast<size_t>(ask(window, WM_GETTEXTLENGTH));
    std::wstring text(length + 1, L'\0');
    const auto copied = static_cast<size_t>(ask(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data())));
    text.resize(copied);
    return text;
}

bool shown(HWND control)
{
    return IsWindowVisible(control) != FALSE;
}

bool enabled(HWND control)
{
    return IsWindowEnabled(control) != FALSE;
}

bool checked(HWND checkBox)
{
    return ask(checkBox, BM_GETCHECK) == BST_CHECKED;
}

bool looksDefault(HWND button)
{
    return (GetWindowLongW(button, GWL_STYLE) & BS_TYPEMASK) == BS_DEFPUSHBUTTON;
}

int barPosition(HWND progressBar)
{
    return static_cast<int>(ask(progressBar, PBM_GETPOS));
}

void click(HWND button)
{
    ask(button, BM_CLICK);
}

void press(HWND button)
{
    if (!PostMessageW(button, BM_CLICK, 0, 0))
        throw std::runtime_error("cannot click " + narrow(textOf(button)));
}

void typeInto(HWND edit, const std::wstring& text)
{
    ask(edit, EM_SETSEL, 0, -1);
    ask(edit, WM_CHAR, VK_BACK, 1); // the selection goes, as with the Backspace key
    for (const wchar_t c : text)
        ask(edit, WM_CHAR, c, 1);
}

void pasteInto(HWND edit, const std::wstring& text)
{
    // The clipboard needs an owner window for SetClipboardData to keep the data.
    const HWND owner = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    const size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes);
    memcpy(GlobalLock(memory), text.c_str(), bytes);
    GlobalUnlock(memory);
    const bool placed = OpenClipboard(owner) && EmptyClipboard() && SetClipboardData(CF_UNICODETEXT, memory);
    CloseClipboard();
    DestroyWindow(owner);
    if (!placed)
        throw std::runtime_error("cannot put text on the clipboard");
    ask(edit, EM_SETSEL, 0, -1);
    ask(edit, WM_PASTE);
}

void closeWindow(HWND window)
{
    PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
}

HWND focusOf(const Wizard& wizard)
{
    GUITHREADINFO thread{};
    thread.cbSize = sizeof thread;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(wizard.window, nullptr), &thread))
        throw std::runtime_error("cannot read the wizard's focus");
    return thread.hwndFocus;
}

void pressKey(const Wizard& wizard, UINT key)
{
    const HWND focus = focusOf(wizard);
    const HWND target = focus != nullptr ? focus : wizard.window;
    const LPARAM scan = static_cast<LPARAM>(MapVirtualKeyW(key, MAPVK_VK_TO_VSC)) << 16;
    if (!PostMessageW(target, WM_KEYDOWN, key, scan | 1) || !PostMessageW(target, WM_KEYUP, key, scan | 0xC0000001))
        throw std::runtime_error("cannot press key " + std::to_string(key));
}

void typeKeys(const Wizard& wizard, const std::wstring& text)
{
    const HWND focus = focusOf(wizard);
    for (const wchar_t c : text)
        if (!PostMessageW(focus, WM_CHAR, c, 1))
            throw std::runtime_error("cannot type into the wizard");
}

void settle(const Wizard& wizard)
{
    // The port field's modified flag is a marker that the wizard never reads.
    const bool marker = ask(wizard.portEdit, EM_GETMODIFY) == 0;
    PostMessageW(wizard.portEdit, EM_SETMODIFY, marker, 0);
    waitFor([&] { return (ask(wizard.portEdit, EM_GETMODIFY) != 0) == marker; }, "the wizard to handle its messages");
}

Box waitForBox(HWND owner, DWORD process, DWORD timeoutMs)
{
    HWND found = nullptr;
    const auto appeared = [&] {
        for (HWND box : topWindows(L"#32770")) {
            const HWND boxOwner = GetWindow(box, GW_OWNER);
            const bool ours = owner != nullptr ? boxOwner == owner : boxOwner == nullptr && processOf(box) == process;
            if (ours && IsWindowVisible(box)) {
                found = box; // the topmost
                return true;
            }
        }
        return false;
    };
    waitFor(appeared, "a message box", timeoutMs);
    wchar_t caption[256] = {};
    GetWindowTextW(found, caption, 256);
    return Box{found, caption, textOf(GetDlgItem(found, 0xFFFF))};
}

int boxesOwnedBy(HWND owner)
{
    const std::vector<HWND> boxes = topWindows(L"#32770");
    return static_cast<int>(std::count_if(boxes.begin(), boxes.end(), [&](HWND box) {
        return IsWindowVisible(box) && GetWindow(box, GW_OWNER) == owner;
    }));
}

bool hasButton(const Box& box, int id)
{
    return GetDlgItem(box.window, id) != nullptr;
}

int defaultButton(const Box& box)
{
    for (HWND button : children(box.window))
        if (looksDefault(button) && className(button) == L"Button")
            return GetDlgCtrlID(button);
    return 0;
}

void answer(const Box& box, int id)
{
    const HWND button = GetDlgItem(box.window, id);
    if (button == nullptr)
        throw std::runtime_error("the box has no button " + std::to_string(id));
    press(button);
    waitFor([&] { return !IsWindow(box.window); }, "the box to close");
}

bool responsive(HWND window)
{
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &result) != 0;
}

COLORREF screenPixel(HWND window, int x, int y)
{
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    POINT point{x, y};
    ClientToScreen(window, &point);
    const HDC screen = GetDC(nullptr);
    const COLORREF colour = GetPixel(screen, point.x, point.y);
    ReleaseDC(nullptr, screen);
    return colour;
}

size_t pixelsOf(HWND window, COLORREF colour)
{
    RECT area{};
    GetWindowRect(window, &area);
    const std::vector<char> pixels = capture(area);
    const auto width = static_cast<size_t>(area.right - area.left);
    const size_t stride = (width * 3 + 3) & ~size_t{3};
    size_t count = 0;
    for (size_t row = 0; row < pixels.size(); row += stride)
        for (size_t pixel = row; pixel < row + width * 3; pixel += 3)
            count += RGB(pixels[pixel + 2], pixels[pixel + 1], pixels[pixel]) == colour;
    return count;
}

fs::path screenshot(HWND window, const std::string& name, const fs::path& folder)
{
    // Painting reaches the screen a moment after the window has drawn, so the picture is taken
    // again until two in a row agree.
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    RECT area{};
    GetWindowRect(window, &area);
    std::vector<char> previous;
    std::vector<char> now;
    waitFor(
        [&] {
            now = capture(area);
            const bool settled = now == previous;
            previous = now;
            if (!settled)
                Sleep(50);
            return settled;
        },
        "the screen to settle");
    const fs::path target = folder.empty() ? testProgramFolder().parent_path() / L"screenshots" : folder;
    fs::create_directories(target);
    const fs::path file = target / (name + ".bmp");
    writeBitmap(file, area.right - area.left, area.bottom - area.top, now);
    return file;
}

DWORD exitCodeOf(HANDLE process, DWORD timeoutMs)
{
    if (WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0)
        throw std::runtime_error("the wizard process did not end");
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    return code;
}
