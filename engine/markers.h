#pragma once

// The marker files by which a later install or uninstall recognises our folders. A folder
// without its marker, byte for byte, is never reused or deleted.
inline constexpr char APP_MARKER[] = "QuellmarkConsoleApp/1\n";
inline constexpr char DATA_MARKER[] = "QuellmarkConsoleData/1\n";
inline constexpr wchar_t MARKER_FILE[] = L"product.txt";
inline constexpr wchar_t SETTINGS_FILE[] = L"console.ini";
