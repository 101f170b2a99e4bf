#pragma once

#include <optional>
#include <string>

// The little HTTP/1.1 that the sample console speaks: one request per connection, answered with
// "Connection: close". Nothing here touches a socket.

inline constexpr char HEALTH_PATH[] = "/api/v1/health";
inline constexpr char CONSOLE_VERSION[] = "0.2.61";
inline constexpr size_t MAX_REQUEST_HEAD = 8192; // request line and headers together

struct Request {
    std::string method;
    std::string path; // without the query
};

struct Response {
    int status = 200;
    std::string contentType;
    std::string body;
};

// Where the request head ends: the position just past its empty line, or nothing while the
// head is still incomplete.
std::optional<size_t> headEnd(const std::string& received);

// The request line of a complete head, or nothing when it is not a well-formed HTTP/1.x line.
std::optional<Request> parseRequest(const std::string& head);

// The console's answer. healthVersion is the version that the health endpoint reports.
Response route(const Request& request, const std::string& healthVersion);

Response errorResponse(int status);

// Status line, headers and, unless the request was HEAD, the body.
std::string serialize(const Response& response, bool withBody);
