#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// One plain HTTP/1.1 request to a loopback service (the Agones SDK sidecar, the server's own
// metrics endpoint), on the calling thread, within a time limit.
namespace Fleet {

struct HttpAnswer {
  int status = 0;  // 0 when no answer came: refused, timed out, or not HTTP
  std::string body;
};

// `method` is "GET", "POST" or "PATCH"; a non-empty `body` is sent as application/json.
// `address` is dotted IPv4 text.
HttpAnswer HttpRequest(const std::string& address, std::uint16_t port, const std::string& method,
                       const std::string& target, const std::string& body,
                       std::chrono::milliseconds timeLimit);

}  // namespace Fleet
