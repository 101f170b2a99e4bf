#pragma once

#include <windows.h>

#include <string>

// A raw HTTP client for tests: it sends exactly the bytes it is given to 127.0.0.1 and reports
// what came back, including nothing at all, which WinHTTP would only report as a failure.

struct HttpAnswer {
    bool connected = false; // the connection was accepted
    bool timedOut = false;  // the answer was not complete within the time limit
    int status = 0;         // from the status line; 0 when none arrived
    std::string head;       // status line and headers, up to the empty line
    std::string body;       // as far as Content-Length says, or up to the connection's end
};

// Sends request to 127.0.0.1:port and reads the answer until Content-Length is satisfied, the
// server closes the connection or timeoutMs passes. Closes its end first.
HttpAnswer httpExchange(unsigned port, const std::string& request, DWORD timeoutMs = 5000);

// GET of path with "Connection: close".
HttpAnswer httpGet(unsigned port, const std::string& path, DWORD timeoutMs = 5000);
