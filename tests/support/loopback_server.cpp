#include "tests/support/loopback_server.h"

#include <ws2tcpip.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <vector>

namespace {

struct WinsockSession {
    WinsockSession()
    {
        WSADATA data;
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
            throw std::runtime_error("WSAStartup failed");
    }
    ~WinsockSession() { WSACleanup(); }
};

SOCKET listenOnLoopback(unsigned& port)
{
    static WinsockSession winsock;
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (s == INVALID_SOCKET || bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(s, 16) != 0 || getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("cannot listen on loopback");
    port = ntohs(address.sin_port);
    return s;
}

// Reads until the end of the request headers, so that the client has sent everything.
std::string readRequest(SOCKET client)
{
    std::string request;
    char buffer[1024];
    while (request.find("\r\n\r\n") == std::string::npos) {
        const int got = recv(client, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        request.append(buffer, static_cast<size_t>(got));
    }
    return request;
}

} // namespace

LoopbackServer::LoopbackServer(std::string response, unsigned delay, bool answers)
    : listener(listenOnLoopback(port)), responses{std::move(response)}, delayMs(delay), answer(answers),
      worker([this] { serve(); })
{
}

LoopbackServer::LoopbackServer(std::vector<std::string> sequence)
    : listener(listenOnLoopback(port)), responses(std::move(sequence)), delayMs(0), answer(true),
      worker([this] { serve(); })
{
}

LoopbackServer::~LoopbackServer()
{
    stopping = true;
    closesocket(listener); // wakes the blocked accept
    worker.join();
}

void LoopbackServer::serve()
{
    std::vector<SOCKET> held;
    while (!stopping) {
        const SOCKET client = accept(listener, nullptr, nullptr);
        if (client == INVALID_SOCKET)
            break;
        const auto index = static_cast<size_t>(requests++);
        const std::string& response = responses[std::min(index, responses.size() - 1)];
        const std::string request = readRequest(client);
        {
            const std::lock_guard<std::mutex> hold(receivedLock);
            receivedRequests.push_back(request);
        }
        if (!answer) {
            held.push_back(client); // never answered, closed when the server goes
            continue;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        // A client that stops reading early (a capped body) may keep its end open for a while
        // (Wine's WinHTTP does); the send must not wait for it for ever.
        const DWORD sendTimeoutMs = 3000;
        setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&sendTimeoutMs),
                   sizeof sendTimeoutMs);
        send(client, response.data(), static_cast<int>(response.size()), 0);
        shutdown(client, SD_SEND);
        closesocket(client);
    }
    for (const SOCKET client : held)
        closesocket(client);
}

std::vector<std::string> LoopbackServer::received() const
{
    const std::lock_guard<std::mutex> hold(receivedLock);
    return receivedRequests;
}

std::string httpResponse(int status, const std::string& body)
{
    return "HTTP/1.1 " + std::to_string(status) + " Status\r\nContent-Type: application/json\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

unsigned unusedLoopbackPort()
{
    unsigned port = 0;
    const SOCKET s = listenOnLoopback(port);
    closesocket(s);
    return port;
}
