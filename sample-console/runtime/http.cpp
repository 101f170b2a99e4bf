#include "sample-console/runtime/http.h"

namespace {

const char* reason(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 431: return "Request Header Fields Too Large";
    case 503: return "Service Unavailable";
    default: return "Internal Server Error";
    }
}

bool isToken(const std::string& text)
{
    if (text.empty())
        return false;
    for (const char c : text)
        if (c < 'A' || c > 'Z')
            return false;
    return true;
}

const char PLACEHOLDER_PAGE[] =
    "<!DOCTYPE html>\n<html lang=\"en\">\n<head><meta charset=\"utf-8\"><title>Quellmark Console (sample)</title></head>\n"
    "<body>\n<h1>Quellmark Console</h1>\n"
    "<p>This is the sample console, a stand-in that the setup builds and tests install. "
    "A real console replaces it in the package; it serves nothing but this page and its health endpoint "
    "<a href=\"/api/v1/health\">/api/v1/health</a>.</p>\n</body>\n</html>\n";

} // namespace

std::optional<size_t> headEnd(const std::string& received)
{
    // Bare line feeds are tolerated, as most servers do.
    const size_t crlf = received.find("\r\n\r\n");
    const size_t lf = received.find("\n\n");
    if (crlf == std::string::npos && lf == std::string::npos)
        return std::nullopt;
    if (lf == std::string::npos || (crlf != std::string::npos && crlf < lf))
        return crlf + 4;
    return lf + 2;
}

std::optional<Request> parseRequest(const std::string& head)
{
    std::string line = head.substr(0, head.find('\n'));
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    const size_t first = line.find(' ');
    const size_t second = first == std::string::npos ? first : line.find(' ', first + 1);
    if (second == std::string::npos || line.find(' ', second + 1) != std::string::npos)
        return std::nullopt;
    Request request{line.substr(0, first), line.substr(first + 1, second - first - 1)};
    const std::string version = line.substr(second + 1);
    if (!isToken(request.method) || request.path.empty() || request.path[0] != '/' ||
        version.rfind("HTTP/1.", 0) != 0 || version.size() != 8)
        return std::nullopt;
    request.path = request.path.substr(0, request.path.find('?'));
    return request;
}

Response route(const Request& request, const std::string& healthVersion)
{
    if (request.method != "GET" && request.method != "HEAD")
        return errorResponse(405);
    if (request.path == HEALTH_PATH)
        return {200, "application/json",
                "{\"service\":\"quellmark-controller\",\"version\":\"" + healthVersion + "\",\"status\":\"ok\"}\n"};
    if (request.path == "/")
        return {200, "text/html; charset=utf-8", PLACEHOLDER_PAGE};
    return errorResponse(404);
}

Response errorResponse(int status)
{
    return {status, "text/plain; charset=utf-8", std::to_string(status) + " " + reason(status) + "\n"};
}

std::string serialize(const Response& response, bool withBody)
{
    std::string text = "HTTP/1.1 " + std::to_string(response.status) + " " + reason(response.status) + "\r\n";
    text += "Content-Type: " + response.contentType + "\r\n";
    text += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
    if (response.status == 405)
        text += "Allow: GET, HEAD\r\n";
    text += "Cache-Control: no-store\r\nConnection: close\r\nServer: QuellmarkSampleConsole/";
    text += CONSOLE_VERSION;
    text += "\r\n\r\n";
    if (withBody)
        text += response.body;
    return text;
}
