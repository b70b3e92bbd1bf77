#include "fleet/HttpClient.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <exception>

namespace Fleet {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

// Answers of a sidecar or a metrics endpoint are small; a larger one is not theirs.
constexpr std::size_t kAnswerLimit = 1 << 20;

}  // namespace

HttpAnswer HttpRequest(const std::string& address, std::uint16_t port, const std::string& method,
                       const std::string& target, const std::string& body,
                       std::chrono::milliseconds timeLimit) {
  HttpAnswer answer;
  try {
    asio::io_context io;
    beast::tcp_stream stream(io);
    http::request<http::string_body> request(http::string_to_verb(method), target, 11);
    request.set(http::field::host, address + ":" + std::to_string(port));
    request.set(http::field::connection, "close");
    if (!body.empty()) {
      request.set(http::field::content_type, "application/json");
      request.body() = body;
    }
    request.prepare_payload();
    beast::flat_buffer buffer;
    http::response_parser<http::string_body> parser;
    parser.body_limit(kAnswerLimit);
    // One deadline for the whole exchange: the stream's timer covers every step.
    stream.expires_after(timeLimit);
    stream.async_connect(
        tcp::endpoint(asio::ip::make_address_v4(address), port), [&](beast::error_code error) {
          if (error) return;
          http::async_write(stream, request, [&](beast::error_code error, std::size_t) {
            if (error) return;
            http::async_read(stream, buffer, parser, [&](beast::error_code error, std::size_t) {
              if (error) return;
              answer.status = static_cast<int>(parser.get().result_int());
              answer.body = parser.get().body();
            });
          });
        });
    io.run();
  } catch (const std::exception&) {
    answer = HttpAnswer{};
  }
  return answer;
}

}  // namespace Fleet
