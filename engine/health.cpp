#include "engine/health.h"

#include <windows.h>
#include <winhttp.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace {

struct InternetCloser {
    void operator()(HINTERNET handle) const noexcept { WinHttpCloseHandle(handle); }
};
using UniqueInternet = std::unique_ptr<void, InternetCloser>;

constexpr DWORD TIMEOUT_MS = 1000;
constexpr size_t BODY_LIMIT = 16384; // no read starts once this much has been collected
constexpr DWORD READ_CHUNK = 4096;
constexpr int ATTEMPTS = 30;
constexpr DWORD PAUSE_MS = 1000;

bool statusIsOk(HINTERNET request)
{
    DWORD status = 0;
    DWORD size = sizeof status;
    return WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX) &&
           status == 200;
}

// A misbehaving server cannot make us collect an unbounded answer: at most 16383 + 4096 bytes.
std::string readBody(HINTERNET request)
{
    std::string body;
    char chunk[READ_CHUNK];
    while (body.size() < BODY_LIMIT) {
        DWORD read = 0;
        if (!WinHttpReadData(request, chunk, READ_CHUNK, &read) || read == 0)
            break; // what arrived so far is judged
        body.append(chunk, read);
    }
    return body;
}

bool answersAsConsole(HINTERNET request)
{
    if (!WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(request, nullptr) || !statusIsOk(request))
        return false;
    const std::string body = readBody(request);
    return body.find("quellmark-controller") != std::string::npos && body.find("0.2.61") != std::string::npos;
}

} // namespace

bool health(unsigned port)
{
    const UniqueInternet session(
        WinHttpOpen(L"QuellmarkSetup/0.2.61", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session)
        return false;
    WinHttpSetTimeouts(session.get(), TIMEOUT_MS, TIMEOUT_MS, TIMEOUT_MS, TIMEOUT_MS); // best effort
    // The loopback address itself: a host name could resolve to another machine or to IPv6.
    const UniqueInternet connection(WinHttpConnect(session.get(), L"127.0.0.1", static_cast<INTERNET_PORT>(port), 0));
    if (!connection)
        return false;
    const UniqueInternet request(WinHttpOpenRequest(connection.get(), L"GET", L"/api/v1/health", nullptr,
                                                    WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0));
    return request && answersAsConsole(request.get());
}

void waitHealthy(unsigned port)
{
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        if (health(port))
            return;
        Sleep(PAUSE_MS);
    }
    throw std::runtime_error(
        "Console did not become healthy. See ProgramData\\Vostrel\\Quellmark Console\\logs\\console.log.");
}
