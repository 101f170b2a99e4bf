#include "common/message_box.h"

void (*noteEvent)(const std::wstring& text) = nullptr;

namespace {

std::wstring buttonName(int answer)
{
    switch (answer) {
    case 0: return L"none, the box could not be shown";
    case IDOK: return L"OK";
    case IDCANCEL: return L"Cancel";
    case IDYES: return L"Yes";
    case IDNO: return L"No";
    case IDTRYAGAIN: return L"Try Again";
    case IDCONTINUE: return L"Continue";
    default: return std::to_wstring(answer);
    }
}

} // namespace

int messageBox(HWND owner, const std::wstring& text, const wchar_t* caption, UINT style) noexcept
{
    // Only a failed allocation fails a note: the box matters more than its line in the log.
    try {
        // Noted before it opens: a run that never gets an answer still shows what it was asking.
        if (noteEvent != nullptr)
            noteEvent(L"Message box \"" + std::wstring(caption) + L"\": " + text);
    } catch (...) {
    }
    const int answer = MessageBoxW(owner, text.c_str(), caption, style);
    try {
        if (noteEvent != nullptr)
            noteEvent(L"Answer: " + buttonName(answer));
    } catch (...) {
    }
    return answer;
}
