#pragma once

#include "common/version.h"

// Every text that the wizard window shows, in one place. Paragraphs are separated by an empty
// line ("\r\n\r\n"); texts that name a folder or the port are joined from pieces in pages.cpp.

namespace texts {

// Window titles.
inline constexpr wchar_t SETUP_TITLE[] = L"Quellmark Console " QM_VERSION_WIDE L" \u2014 Setup";
inline constexpr wchar_t UNINSTALL_TITLE[] = L"Quellmark Console \u2014 Uninstall";

// Controls.
inline constexpr wchar_t PORT_LABEL[] = L"HTTP port:";
inline constexpr wchar_t DEFAULT_PORT[] = L"8080";
inline constexpr wchar_t BACK[] = L"< Back";
inline constexpr wchar_t NEXT[] = L"Next >";
inline constexpr wchar_t CANCEL[] = L"Cancel";
inline constexpr wchar_t INSTALL[] = L"Install";
inline constexpr wchar_t UNINSTALL[] = L"Uninstall";
inline constexpr wchar_t FINISH[] = L"Finish";

// Welcome page.
inline constexpr wchar_t WELCOME_SETUP_TITLE[] = L"Welcome to Quellmark Console Setup";
inline constexpr wchar_t WELCOME_SETUP[] =
    L"Quellmark Console " QM_VERSION_WIDE L" for Windows x64\r\n\r\n"
    L"Click Next to configure and install Quellmark Console.";
inline constexpr wchar_t WELCOME_UNINSTALL_TITLE[] = L"Uninstall Quellmark Console";
inline constexpr wchar_t WELCOME_UNINSTALL[] =
    L"This wizard removes the Console application and Windows Service.\r\n\r\n"
    L"Saved accounts, audit records, license state and logs are kept by default.\r\n\r\n"
    L"The Quellmark Agent is a separate application and is not removed.";

// Settings page.
inline constexpr wchar_t SETTINGS_SETUP_TITLE[] = L"Console settings";
inline constexpr wchar_t SETTINGS_SETUP_BEFORE_FOLDER[] = L"Console will be installed in:\r\n";
inline constexpr wchar_t SETTINGS_SETUP_AFTER_FOLDER[] = L"\r\n\r\nChoose the HTTP port. The default is 8080.";
inline constexpr wchar_t ALLOW_NETWORK[] = L"Allow access from devices on private/domain networks";
inline constexpr wchar_t SETTINGS_UNINSTALL_TITLE[] = L"Choose what to remove";
inline constexpr wchar_t SETTINGS_UNINSTALL[] =
    L"Keep your saved data if you plan to reinstall.\r\n\r\n"
    L"Select the option below only if you want to permanently delete Console accounts, audit records, "
    L"license state and logs.";
inline constexpr wchar_t DELETE_DATA[] = L"Permanently delete saved Console data and logs";

// Ready page.
inline constexpr wchar_t READY_SETUP_TITLE[] = L"Ready to install";
inline constexpr wchar_t READY_APPLICATION[] = L"Application: ";
inline constexpr wchar_t READY_ADDRESS[] = L"\r\n\r\nConsole address: http://localhost:";
inline constexpr wchar_t READY_SERVICE[] = L"\r\n\r\nWindows Service: Quellmark Console (automatic)\r\n\r\n";
inline constexpr wchar_t READY_NETWORK[] = L"Network access: private/domain networks";
inline constexpr wchar_t READY_NO_NETWORK[] = L"No Windows Firewall exception will be added";
inline constexpr wchar_t READY_CLICK_INSTALL[] = L"\r\n\r\nClick Install to begin.";
inline constexpr wchar_t READY_UNINSTALL_TITLE[] = L"Ready to uninstall";
inline constexpr wchar_t READY_DELETE_ALL[] =
    L"Console and ALL saved data will be permanently removed.\r\n\r\n"
    L"Make a backup before continuing if you need this data.";
inline constexpr wchar_t READY_KEEP_DATA[] =
    L"Console application and service will be removed.\r\n\r\n"
    L"Your database and logs will be kept for reinstallation.";

// Working page.
inline constexpr wchar_t WORKING_SETUP_TITLE[] = L"Installing Console";
inline constexpr wchar_t WORKING_UNINSTALL_TITLE[] = L"Removing Console";
inline constexpr wchar_t WORKING[] = L"Please wait. Setup is managing the application and Windows Service.";

// Done pages.
inline constexpr wchar_t FAILED_TITLE[] = L"Setup needs attention";
inline constexpr wchar_t DONE_TITLE[] = L"All done";
inline constexpr wchar_t REMOVED_ALL[] = L"Quellmark Console and all saved data have been removed.";
inline constexpr wchar_t REMOVED_KEPT_BEFORE_FOLDER[] =
    L"Quellmark Console has been removed.\r\n\r\nYour database and logs are saved in:\r\n";
inline constexpr wchar_t REMOVED_KEPT_AFTER_FOLDER[] = L"\r\n\r\nA future installation can reuse this data.";
// What an uninstallation could not finish itself, each a paragraph after what it removed.
inline constexpr wchar_t REMOVED_RESTART[] =
    L"\r\n\r\nRestart Windows to finish removing the Quellmark Console service, or close the Services console "
    L"and any other program that shows Windows services. Until then, Quellmark Console cannot be installed again.";
inline constexpr wchar_t REMOVED_RULE_LEFT[] =
    L"\r\n\r\nThe firewall rule \"Quellmark Console HTTP\" could not be removed because Windows Firewall is not "
    L"running. Once it runs again, remove the rule in Windows Firewall, or with the command\r\n"
    L"netsh advfirewall firewall delete rule name=\"Quellmark Console HTTP\"";
inline constexpr wchar_t INSTALLED_BEFORE_PORT[] = L"Quellmark Console is running.\r\n\r\nOpen http://localhost:";
inline constexpr wchar_t INSTALLED_AFTER_PORT[] = L" to create your administrator account.\r\n\r\n";
inline constexpr wchar_t INSTALLED_RULE_BEFORE_PORT[] =
    L"Network access: private/domain firewall rule added.\r\nUse http://IP-OF-THIS-PC:";
inline constexpr wchar_t INSTALLED_RULE_AFTER_PORT[] = L" on a trusted private/domain network.";
inline constexpr wchar_t INSTALLED_NO_RULE[] =
    L"No firewall rule was added. Access from other computers may be blocked. "
    L"See the installation manual to configure network access.";
inline constexpr wchar_t INSTALLED_AUTOMATIC[] = L"\r\n\r\nThe service starts automatically with Windows.";
inline constexpr wchar_t OPEN_BROWSER[] = L"Open Console in my browser";

// Message boxes of the window (the caption is PRODUCT unless given; the port's refusal is
// PORT_REFUSED, with the port's rule in common/port.h).
inline constexpr wchar_t EXIT_QUESTION[] = L"Exit setup?";
inline constexpr wchar_t DELETE_QUESTION[] =
    L"Permanently delete all saved Console accounts, audit records, license state and logs?";
inline constexpr wchar_t DELETE_CAPTION[] = L"Confirm permanent removal";

// Why the session may not end while the work runs, as Windows shows it to the user.
inline constexpr wchar_t BLOCK_INSTALLING[] = L"Quellmark Console Setup is installing...";
inline constexpr wchar_t BLOCK_REMOVING[] = L"Quellmark Console Setup is removing...";

} // namespace texts
