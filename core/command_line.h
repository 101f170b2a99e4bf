#pragma once

#include <string>
#include <vector>

// What the command line asks for. An empty command line is a plain install run with the window.
struct CommandLine {
    bool uninstall = false;   // "--uninstall" (may repeat)
    unsigned long parent = 0; // "--parent <id>"; 0 means no parent wizard to wait for
    // An unattended run, for deployment tools: no window, no box, no browser, a log.
    bool quiet = false;       // "--quiet"
    unsigned port = 8080;     // "--port <number>", installing
    bool firewall = true;     // false with "--no-firewall", installing
    bool deleteData = false;  // "--delete-data", uninstalling
    // A log, in either run mode; without it an unattended run logs to the default place.
    std::wstring log;         // "--log <file>"
    std::wstring logIdentity; // "--log-id <identity>": the file an uninstall's first run logs to
};

// Reads the arguments after the program name. Raises "Unknown setup option" for anything it does
// not know, including an option that needs a value and has none; the port page's refusal for a
// port it would refuse; and a sentence naming the option for an unattended run's option (other
// than the log's) without "--quiet", or in the other run mode.
CommandLine parseCommandLine(const std::vector<std::wstring>& arguments);

// The unattended part alone, read before anything else is judged: whether the run is quiet and
// where its log goes (log and logIdentity), so that even a refused command line is logged.
CommandLine unattendedPart(const std::vector<std::wstring>& arguments);

// The process's own command line, split the way Windows splits it, without the program name.
std::vector<std::wstring> commandLineArguments();
