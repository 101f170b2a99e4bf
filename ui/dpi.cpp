#include "ui/dpi.h"

UINT systemDpi()
{
    const HDC screen = GetDC(nullptr);
    const int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
    // Without a screen to ask, the window keeps its 96-DPI sizes rather than shrinking to nothing.
    return dpi > 0 ? static_cast<UINT>(dpi) : USER_DEFAULT_SCREEN_DPI;
}

UINT windowDpi(HWND window)
{
    // Windows 10 before version 1607 has no GetDpiForWindow and no per-monitor DPI for windows:
    // there a window is drawn at the screen's DPI.
    using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = reinterpret_cast<GetDpiForWindowFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (getDpiForWindow == nullptr)
        return systemDpi();
    const UINT dpi = getDpiForWindow(window);
    return dpi > 0 ? dpi : systemDpi();
}

int scaled(int pixels, UINT dpi)
{
    return MulDiv(pixels, static_cast<int>(dpi), USER_DEFAULT_SCREEN_DPI);
}
