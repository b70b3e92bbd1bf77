#include "fleet/HttpClient.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <exception>
#include <limits>
#include <optional>
#include <utility>

namespace Fleet {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

// Answers of a sidecar or a metrics endpoint are small; a larger one is not theirs.
constexpr std::size_t kAnswerLimit = 1 << 20;
// A streamed line longer than this is not one the caller can use: the stream is begun again.
constexpr std::size_t kLineLimit = 1 << 20;
constexpr auto kConnectTime = std::chrono::seconds(1);
constexpr auto kStreamRetry = std::chrono::seconds(1);

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

struct HttpLineStream::State {
  using Clock = std::chrono::steady_clock;

  void Begin() {
    ++generation;
    open = true;
    stream.emplace(io);
    parser.emplace();
    parser->body_limit((std::numeric_limits<std::uint64_t>::max)());
    buffer.clear();
    request = http::request<http::empty_body>(http::verb::get, target, 11);
    request.set(http::field::host, address + ":" + std::to_string(port));
    beast::error_code error;
    const auto ip = asio::ip::make_address_v4(address, error);
    if (error) return End(generation);
    stream->expires_after(kConnectTime);
    stream->async_connect(
        tcp::endpoint(ip, port), [this, now = generation](beast::error_code error) {
          if (now != generation) return;
          if (error) return End(now);
          http::async_write(*stream, request, [this, now](beast::error_code error, std::size_t) {
            if (now != generation) return;
            if (error) return End(now);
            // The answer may take as long as the watched thing stays as it is.
            stream->expires_never();
            ReadMore(now);
          });
        });
  }

  void ReadMore(unsigned now) {
    http::async_read_some(*stream, buffer, *parser,
                          [this, now](beast::error_code error, std::size_t) {
                            if (now != generation) return;
                            if (!error) TakeLines(now);
                            if (error || !open || parser->is_done()) return End(now);
                            ReadMore(now);
                          });
  }

  // Moves the body's complete lines out; the part of a line still to come stays.
  void TakeLines(unsigned now) {
    if (!parser->is_header_done()) return;
    if (parser->get().result() != http::status::ok) return End(now);
    std::string& body = parser->get().body();
    std::size_t start = 0;
    for (std::size_t end = 0; (end = body.find('\n', start)) != std::string::npos;
         start = end + 1) {
      lines.emplace_back(body, start, end - start);
    }
    body.erase(0, start);
    if (body.size() > kLineLimit) End(now);
  }

  // Handlers of an earlier request that complete late (aborted) find a newer generation.
  void End(unsigned now) {
    if (now != generation || !open) return;
    open = false;
    beast::error_code ignored;
    stream->socket().close(ignored);
    nextTry = Clock::now() + kStreamRetry;
  }

  std::string address;
  std::uint16_t port = 0;
  std::string target;
  asio::io_context io{1};
  std::optional<beast::tcp_stream> stream;
  http::request<http::empty_body> request;
  beast::flat_buffer buffer;
  std::optional<http::response_parser<http::string_body>> parser;
  std::vector<std::string> lines;
  bool open = false;
  unsigned generation = 0;
  Clock::time_point nextTry;
};

HttpLineStream::HttpLineStream(const std::string& address, std::uint16_t port,
                               const std::string& target)
    : state(std::make_unique<State>()) {
  state->address = address;
  state->port = port;
  state->target = target;
}

HttpLineStream::~HttpLineStream() = default;

std::vector<std::string> HttpLineStream::Poll() {
  if (!state->open && State::Clock::now() >= state->nextTry) state->Begin();
  try {
    state->io.restart();
    state->io.poll();
  } catch (const std::exception&) {
    state->End(state->generation);
  }
  return std::exchange(state->lines, {});
}

}  // namespace Fleet
