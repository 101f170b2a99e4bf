#include "tests/support/http_get.h"

#include <winsock2.h>

#include <cstdlib>
#include <stdexcept>

#include "tests/support/sockets.h"

namespace {

void startWinsock()
{
    static const bool started = [] {
        WSADATA data{};
        if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
            throw std::runtime_error("WSAStartup failed");
        return true;
    }();
    (void)started;
}

SOCKET connectLoopback(unsigned port)
{
    startWinsock();
    const SOCKET connection = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (connection == INVALID_SOCKET)
        throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(connection, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        closesocket(connection);
        return INVALID_SOCKET;
    }
    return connection;
}

// True once the head is in and the body is as long as its Content-Length says.
bool complete(HttpAnswer& answer, const std::string& received)
{
    const size_t end = received.find("\r\n\r\n");
    if (end == std::string::npos)
        return false;
    answer.head = received.substr(0, end + 2);
    answer.body = received.substr(end + 4);
    answer.status = std::atoi(received.substr(received.find(' ') + 1, 3).c_str());
    const size_t length = answer.head.find("Content-Length: ");
    return length != std::string::npos && answer.body.size() >= std::stoul(answer.head.substr(length + 16));
}

} // namespace

HttpAnswer httpExchange(unsigned port, const std::string& request, DWORD timeoutMs)
{
    HttpAnswer answer;
    SOCKET connection = connectLoopback(port);
    if (connection == INVALID_SOCKET)
        return answer;
    const SocketGuard guard(&connection);
    answer.connected = true;
    send(connection, request.data(), static_cast<int>(request.size()), 0);
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    std::string received;
    char buffer[4096];
    while (!complete(answer, received)) {
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline) {
            answer.timedOut = true;
            break;
        }
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(connection, &readable);
        const ULONGLONG left = deadline - now;
        timeval wait{static_cast<long>(left / 1000), static_cast<long>(left % 1000 * 1000)};
        if (select(0, &readable, nullptr, nullptr, &wait) <= 0)
            continue;
        const int got = recv(connection, buffer, sizeof buffer, 0);
        if (got <= 0)
            break; // the server closed: whatever arrived is the answer
        received.append(buffer, static_cast<size_t>(got));
    }
    if (answer.head.empty())
        answer.body = received;
    return answer;
}

HttpAnswer httpGet(unsigned port, const std::string& path, DWORD timeoutMs)
{
    return httpExchange(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", timeoutMs);
}
