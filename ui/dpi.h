#pragma once

#include <windows.h>

// The window's sizes are 96-DPI pixels; the wizard is per-monitor DPI aware (its manifest), so it
// scales them itself to the DPI that Windows gives each window.

// The DPI of the primary screen, which places the window before it exists.
UINT systemDpi();

// The DPI that Windows draws the window at.
UINT windowDpi(HWND window);

// A 96-DPI size in pixels at dpi.
int scaled(int pixels, UINT dpi);
