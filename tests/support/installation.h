#pragma once

#include <windows.h>

#include <gmock/gmock.h>

#include <filesystem>
#include <string>
#include <vector>

// What an installation leaves on the machine, read back the way an administrator would find it.

// Where an installation puts things, as an administrator finds them.
inline const std::string APP_FOLDER = "C:\\Program Files\\Vostrel\\Quellmark Console";
inline const std::string DATA_FOLDER = "C:\\ProgramData\\Vostrel\\Quellmark Console";
inline const std::string MENU_FOLDER = "C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Quellmark Console";

// The sample console as the build assembled it: what the package carries.
std::filesystem::path sampleFolder();

std::string readBytes(const std::filesystem::path& file);
void writeBytes(const std::filesystem::path& file, const std::string& bytes);

// The events of a run's log without their times; an event's further lines are joined to it.
std::vector<std::string> logEvents(const std::filesystem::path& log);

// The application folder holds the sample console byte for byte, the uninstaller (a copy of
// headless_setup.exe), the marker and console.ini with exactly these bytes, and nothing else.
void expectApplicationFiles(const std::string& settings);

// text with "{port}" replaced by the port's number: the bytes a test expects from a run on a free port.
std::string withPort(std::string text, unsigned port);

// The status of GET /api/v1/health on 127.0.0.1:port, 0 when nothing answers.
int healthAnswer(unsigned port);

// A text value of the Installed-apps entry; empty when it is missing.
std::wstring uninstallValue(const wchar_t* name);

// The firewall rule changes of the last shim session, in order: "Add <name> <port>" for each
// rule handed to the rule set, "Remove <name>" for each removal.
std::vector<std::string> firewallCalls();

// The changes (as changes() of machine_snapshot.h words them) that a complete installation
// makes on a clean machine, and the part of them that an uninstall keeping the data leaves.
std::vector<std::string> installationFootprint();
std::vector<std::string> dataFolderFootprint();

// A failure text; where expected ends in "\\", the name of a file follows that the file system
// lists in an order of its own.
testing::Matcher<const std::string&> failureIs(const std::string& expected);

// The failure of a folder's removal at a file that another program holds open (Wine's Restart
// Manager names no program); without file, the text up to the file, whose name the file system
// lists in an order of its own.
std::string removalHeldAt(const std::string& folder, const std::string& file = "");

// A kept data folder of an earlier installation: its folder and its marker.
void keepDataFolder();

// Makes the marker go on past its bytes for a gigabyte (sparse on the Linux side): what a marker
// read whole would take a gigabyte of memory and reading for.
void padToAGigabyte(const std::filesystem::path& marker);

// With this plan line, bytesAskedToRead() counts what the programs of the session asked the C
// runtime to read from files: every file they read goes through its _read, whole or in pieces.
inline constexpr char RECORD_READS[] = "record _read args=d,p,d\n";
unsigned long long bytesAskedToRead();
