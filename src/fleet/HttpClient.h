#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

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

// A GET whose answer is a stream of lines without an end (Agones' watch routes), followed on the
// caller's thread without ever waiting: each Poll hands over the lines completed since the last,
// and starts the request again (at most once a second) when none is open, the last one having
// ended or failed.
class HttpLineStream {
 public:
  HttpLineStream(const std::string& address, std::uint16_t port, const std::string& target);
  ~HttpLineStream();
  HttpLineStream(const HttpLineStream&) = delete;
  HttpLineStream& operator=(const HttpLineStream&) = delete;

  std::vector<std::string> Poll();

 private:
  struct State;
  std::unique_ptr<State> state;
};

}  // namespace Fleet
