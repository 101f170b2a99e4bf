#pragma once

#include <winsock2.h>

#include <memory>

// Closes a socket that a test holds, however the test ends: SocketGuard guard(&socket).
struct SocketCloser {
    void operator()(SOCKET* socket) const noexcept
    {
        if (*socket != INVALID_SOCKET)
            closesocket(*socket);
    }
};
using SocketGuard = std::unique_ptr<SOCKET, SocketCloser>;
