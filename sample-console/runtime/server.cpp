#include "sample-console/runtime/server.h"

#include <atomic>
#include <list>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include "sample-console/runtime/http.h"
#include "sample-console/shared/log.h"
#include "sample-console/shared/switches.h"

namespace {

constexpr size_t MAX_CONNECTIONS = 16;
constexpr ULONGLONG REQUEST_TIME_LIMIT_MS = 5000; // a client that is slower than this is dropped
constexpr ULONGLONG CLOSE_WAIT_MS = 1000;
// A silent health request is held past setup's 1 s receive time-out and then closed unanswered,
// so that a client whose time-out does not fire still gets its failure within seconds.
constexpr ULONGLONG SILENT_HOLD_MS = 2000;
constexpr long SLICE_US = 200000;

struct Connection {
    std::thread worker;
    std::atomic<bool> finished{false};
};

struct SocketCloser {
    void operator()(SOCKET* socket) const noexcept { closesocket(*socket); }
};

enum class Wait { Readable, Idle, Failed };
enum class Received { Head, TooLarge, Gone };

bool stopping(HANDLE stopEvent)
{
    return WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0;
}

Wait waitReadable(SOCKET socket)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval slice{0, SLICE_US};
    const int ready = select(0, &readable, nullptr, nullptr, &slice);
    return ready > 0 ? Wait::Readable : ready == 0 ? Wait::Idle : Wait::Failed;
}

std::string addressText(const sockaddr_in& address)
{
    const auto& bytes = address.sin_addr.S_un.S_un_b;
    return std::to_string(bytes.s_b1) + "." + std::to_string(bytes.s_b2) + "." + std::to_string(bytes.s_b3) + "." +
           std::to_string(bytes.s_b4) + ":" + std::to_string(ntohs(address.sin_port));
}

Received receiveHead(SOCKET client, HANDLE stopEvent, std::string& head)
{
    const ULONGLONG deadline = GetTickCount64() + REQUEST_TIME_LIMIT_MS;
    char buffer[2048];
    while (!stopping(stopEvent) && GetTickCount64() < deadline) {
        const Wait wait = waitReadable(client);
        if (wait == Wait::Failed)
            return Received::Gone;
        if (wait == Wait::Idle)
            continue;
        const int got = recv(client, buffer, sizeof buffer, 0);
        if (got <= 0)
            return Received::Gone;
        head.append(buffer, static_cast<size_t>(got));
        if (const auto end = headEnd(head)) {
            head.resize(*end); // a body or a pipelined request is ignored: one request per connection
            return *end <= MAX_REQUEST_HEAD ? Received::Head : Received::TooLarge;
        }
        if (head.size() >= MAX_REQUEST_HEAD)
            return Received::TooLarge;
    }
    return Received::Gone;
}

// Reads and drops whatever arrives until the client closes, the limit passes or the console stops.
void drainUntilClosed(SOCKET client, HANDLE stopEvent, ULONGLONG limitMs)
{
    const ULONGLONG deadline = GetTickCount64() + limitMs;
    char buffer[2048];
    while (!stopping(stopEvent) && GetTickCount64() < deadline) {
        const Wait wait = waitReadable(client);
        if (wait == Wait::Failed)
            return;
        if (wait == Wait::Readable && recv(client, buffer, sizeof buffer, 0) <= 0)
            return;
    }
}

void sendAll(SOCKET client, const std::string& text)
{
    size_t sent = 0;
    while (sent < text.size()) {
        const int chunk = send(client, text.data() + sent, static_cast<int>(text.size() - sent), 0);
        if (chunk <= 0)
            return; // the client went away; nothing is left to tell it
        sent += static_cast<size_t>(chunk);
    }
}

bool silentHealth(Received received, const std::string& head)
{
    const auto request = received == Received::Head ? parseRequest(head) : std::nullopt;
    return request && request->path == HEALTH_PATH && readSwitch(L"Health", L"NoAnswer") != 0;
}

// Answers one request. Returns what the log line says about it.
std::string answer(SOCKET client, Received received, const std::string& head)
{
    if (received == Received::TooLarge) {
        sendAll(client, serialize(errorResponse(431), true));
        return "(request head over " + std::to_string(MAX_REQUEST_HEAD) + " bytes) 431";
    }
    const auto request = parseRequest(head);
    if (!request) {
        sendAll(client, serialize(errorResponse(400), true));
        return "(malformed request line) 400";
    }
    const std::string what = request->method + " " + printable(request->path);
    const std::string version = readSwitch(L"Health", L"WrongVersion") != 0 ? "0.2.60" : CONSOLE_VERSION;
    const Response response = route(*request, version);
    sendAll(client, serialize(response, request->method != "HEAD"));
    return what + " " + std::to_string(response.status);
}

void connectionThread(SOCKET client, std::string peer, HANDLE stopEvent, std::atomic<bool>* finished)
{
    try {
        std::string head;
        const Received received = receiveHead(client, stopEvent, head);
        if (received == Received::Gone) {
            logLine(peer + " dropped without a complete request");
        } else if (silentHealth(received, head)) {
            logLine(peer + " " + HEALTH_PATH + " held without an answer (switches.ini)");
            drainUntilClosed(client, stopEvent, SILENT_HOLD_MS);
        } else {
            logLine(peer + " " + answer(client, received, head));
            // The client closes first, so that the TIME_WAIT state stays on its side and does not
            // keep the console's port from being bound again after a restart.
            drainUntilClosed(client, stopEvent, CLOSE_WAIT_MS);
        }
    } catch (const std::exception& failure) {
        logLine(peer + " connection failed: " + failure.what());
    }
    closesocket(client);
    finished->store(true);
}

void reapFinished(std::list<Connection>& connections)
{
    for (auto it = connections.begin(); it != connections.end();) {
        if (it->finished.load()) {
            it->worker.join();
            it = connections.erase(it);
        } else {
            ++it;
        }
    }
}

void acceptOne(SOCKET listener, HANDLE stopEvent, std::list<Connection>& connections)
{
    sockaddr_in address{};
    int length = sizeof address;
    const SOCKET client = accept(listener, reinterpret_cast<sockaddr*>(&address), &length);
    if (client == INVALID_SOCKET) {
        logLine("Accepting a connection failed (" + std::to_string(WSAGetLastError()) + ")");
        return;
    }
    const std::string peer = addressText(address);
    if (connections.size() >= MAX_CONNECTIONS) {
        sendAll(client, serialize(errorResponse(503), true));
        closesocket(client);
        logLine(peer + " turned away: " + std::to_string(MAX_CONNECTIONS) + " connections are open");
        return;
    }
    Connection& connection = connections.emplace_back();
    try {
        connection.worker = std::thread(connectionThread, client, peer, stopEvent, &connection.finished);
    } catch (const std::system_error& failure) {
        connections.pop_back();
        closesocket(client);
        logLine(peer + " dropped: no thread for the connection: " + failure.what());
    }
}

} // namespace

SOCKET openListener(unsigned port)
{
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET)
        return INVALID_SOCKET;
    std::unique_ptr<SOCKET, SocketCloser> guard(&listener);
    // Exclusive use: no other program can bind the console's port behind its back and receive
    // its clients.
    const BOOL exclusive = TRUE;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (setsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive), sizeof exclusive) != 0 ||
        bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 || listen(listener, SOMAXCONN) != 0) {
        const int error = WSAGetLastError();
        guard.reset(); // closesocket may change the error
        WSASetLastError(error);
        return INVALID_SOCKET;
    }
    guard.release();
    return listener;
}

int serve(SOCKET listener, HANDLE stopEvent)
{
    std::list<Connection> connections;
    int error = 0;
    while (!stopping(stopEvent)) {
        reapFinished(connections);
        const Wait wait = waitReadable(listener);
        if (wait == Wait::Failed) {
            error = WSAGetLastError();
            break;
        }
        try {
            if (wait == Wait::Readable)
                acceptOne(listener, stopEvent, connections);
        } catch (const std::exception& failure) {
            // Out of memory for one connection; the threads already running must still be joined.
            logLine(std::string("Accepting a connection failed: ") + failure.what());
        }
    }
    if (error != 0)
        SetEvent(stopEvent); // the connection threads end on the stop event too
    for (Connection& connection : connections)
        connection.worker.join();
    return error;
}
