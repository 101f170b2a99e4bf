#pragma once

#include <string>
#include <vector>

// What the command line asks for. An empty command line is a plain install run.
struct CommandLine {
    bool uninstall = false;        // "--uninstall" (may repeat)
    unsigned long parent = 0;      // "--parent <id>"; 0 means no parent wizard to wait for
};

// Reads the arguments after the program name. Raises "Unknown setup option" for anything it does
// not know, including a "--parent" with nothing after it.
CommandLine parseCommandLine(const std::vector<std::wstring>& arguments);

// The process's own command line, split the way Windows splits it, without the program name.
std::vector<std::wstring> commandLineArguments();
