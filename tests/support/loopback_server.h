#pragma once

#include <winsock2.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A tiny HTTP server on 127.0.0.1 for tests of clients: it answers each connection with a raw
// response (status line, headers and body, exactly as given), optionally after a delay, or
// never (it holds the connection open without answering). With several responses, the n-th
// connection gets the n-th, and every later one the last.
struct LoopbackServer {
    explicit LoopbackServer(std::string response, unsigned delayMs = 0, bool answer = true);
    explicit LoopbackServer(std::vector<std::string> responses);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    unsigned port = 0;
    std::atomic<int> requests{0}; // connections accepted so far

    // The request line and headers of every request so far, as the client sent them.
    std::vector<std::string> received() const;

private:
    void serve();
    mutable std::mutex receivedLock;
    std::vector<std::string> receivedRequests;
    SOCKET listener = INVALID_SOCKET;
    std::vector<std::string> responses;
    unsigned delayMs;
    bool answer;
    std::atomic<bool> stopping{false};
    std::thread worker;
};

// A complete HTTP/1.1 response with the given status and body.
std::string httpResponse(int status, const std::string& body);

// A loopback port on which nothing listens (bound for a moment, then released).
unsigned unusedLoopbackPort();
