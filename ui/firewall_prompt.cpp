#include "ui/firewall_prompt.h"

#include <windows.h>

#include "common/folders.h"
#include "common/message_box.h"
#include "common/text.h"
#include "common/wizard_state.h"

namespace {

constexpr wchar_t CAPTION[] = L"Console network access";
constexpr wchar_t INTRODUCTION[] = L"Windows Firewall access could not be configured.\r\n\r\n";
constexpr wchar_t CHOICES[] =
    L"\r\n\r\nTry Again: retry after correcting the Windows firewall problem.\r\n"
    L"Continue: finish installation without adding a firewall rule. Access from other computers may remain "
    L"blocked.\r\nCancel: cancel installation and keep saved data.\r\n\r\n";

} // namespace

FirewallAnswer askFirewallFailure(const std::string& text)
{
    std::wstring message = INTRODUCTION + displayText(text) + CHOICES;
    if (firewallLogFailure.empty())
        message += L"Details: " + setupLog().wstring();
    else
        message += L"The setup log could not be saved: " + displayText(firewallLogFailure);
    // Try Again is the default: the usual cause is a firewall service that is starting up.
    switch (messageBox(windowHandle, message, CAPTION, MB_CANCELTRYCONTINUE | MB_ICONWARNING | MB_DEFBUTTON2)) {
    case IDTRYAGAIN:
        return FirewallAnswer::TryAgain;
    case IDCONTINUE:
        return FirewallAnswer::Continue;
    default:
        return FirewallAnswer::Cancel; // Cancel, Escape, the close box, or no box at all
    }
}
