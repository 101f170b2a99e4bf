#pragma once

#include <filesystem>
#include <string>

// The console's own log: data folder \ "logs" \ "console.log", one line per event, each line
// opened, appended and closed, so that setup can read or delete the log while the console runs.

std::filesystem::path logFile();

// Appends "<local time> <text>" and a line break. Never fails: the console keeps serving when it
// cannot log (for example before setup has made the data folder).
void logLine(const std::string& text);

// Text from the network, cut to maxLength and with every byte outside printable ASCII replaced,
// so that a client can neither forge log lines nor fill the log with one request.
std::string printable(const std::string& text, size_t maxLength = 200);
