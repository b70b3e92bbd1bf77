#include "metrics/MetricsEndpoint.h"

#include <algorithm>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <exception>
#include <list>
#include <memory>
#include <optional>
#include <string_view>

#include "metrics/MetricsText.h"
#include "net/NetworkingComponentServer.h"
#include "platform/platform.h"
#include "utils/Console.h"

namespace Metrics {
namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

constexpr std::size_t kHeaderLimit = 8 * 1024;  // request line and headers together
constexpr auto kRequestTime = std::chrono::seconds(5);
constexpr std::size_t kMaxConnections = 64;
constexpr int kBacklog = 64;
// After a failed accept (out of descriptors), wait before the next, rather than spin.
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);
// Fresh snapshots of the metrics, at most this many a second however fast scrapers ask (with a
// burst of as many): a flood of scrapes then costs the accepting and the answering, not reading
// the process's figures again for each. A request beyond them is answered at once with the last
// snapshot; keeping it waiting for a fresh one would hold its connection, which under a flood the
// connection limit would close unanswered. Scrapers that keep within the rate always get a
// snapshot taken after their request arrived.
constexpr double kSnapshotsPerSecond = 20;

// Looks at the receive loop this often, scraped or not, so that a loop stuck in a datagram is
// known as such by the first health check that follows.
constexpr auto kHealthWatch = std::chrono::seconds(1);

// Nothing when the game is served, otherwise why not.
std::string_view HealthReason() {
  switch (NetworkingComponentServer::ServingNow()) {
    case NetworkingComponentServer::Serving::Yes:
      return {};
    case NetworkingComponentServer::Serving::NotBound:
      return "the game port is not bound";
    case NetworkingComponentServer::Serving::Stuck:
      return "the receive loop is stuck in one datagram";
    case NetworkingComponentServer::Serving::Stopped:
      return "the receive loop has stopped";
  }
  return "unknown";
}

class Endpoint;

// One connection: reads one request within the time and size limits, answers it, closes.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(tcp::socket socket, Endpoint& owner)
      : stream(std::move(socket)), buffer(kHeaderLimit), owner(owner) {}

  void Start(std::list<std::shared_ptr<Connection>>::iterator place) {
    listed = place;
    parser.header_limit(kHeaderLimit);
    parser.body_limit(0);
    // One deadline for the whole request: a client that trickles bytes gains nothing.
    stream.expires_after(kRequestTime);
    http::async_read(
        stream, buffer, parser,
        [self = shared_from_this()](beast::error_code error, std::size_t) { self->Answer(error); });
  }

  void Close();

 private:
  void Answer(beast::error_code error) {
    if (closed) return;
    if (error == http::error::end_of_stream || error == beast::error::timeout ||
        error == asio::error::operation_aborted || error == asio::error::connection_reset ||
        error == asio::error::eof) {
      Close();
      return;
    }
    if (error == http::error::header_limit) {
      Respond(http::status::request_header_fields_too_large, "Request too large.\n");
    } else if (error) {
      Respond(http::status::bad_request, "Bad request.\n");
    } else if (parser.get().method() != http::verb::get) {
      Respond(http::status::method_not_allowed, "Only GET is served.\n");
      response.set(http::field::allow, "GET");
    } else if (Path(parser.get().target()) == "/healthz") {
      const std::string_view reason = HealthReason();
      Respond(reason.empty() ? http::status::ok : http::status::service_unavailable,
              reason.empty() ? std::string(NetworkingComponentServer::Admitting()
                                               ? "ok\n"
                                               : "ok: draining, the registered players are "
                                                 "still served\n")
                             : "not serving: " + std::string(reason) + "\n");
    } else if (Path(parser.get().target()) != "/metrics") {
      Respond(http::status::not_found, "Not found: the metrics are at /metrics.\n");
    } else {
      Respond(http::status::ok, std::string(Snapshot()));
      response.set(http::field::content_type, "text/plain; version=0.0.4; charset=utf-8");
    }
    Write();
  }

  const std::string& Snapshot();

  void Write() {
    stream.expires_after(kRequestTime);
    http::async_write(
        stream, response,
        [self = shared_from_this()](beast::error_code, std::size_t) { self->Close(); });
  }

  // The path of an origin-form target ("/metrics?x") or of an absolute-form one
  // ("http://host:port/metrics"), which HTTP/1.1 servers must accept too.
  static std::string_view Path(beast::string_view target) {
    std::string_view text(target.data(), target.size());
    const std::size_t scheme = text.find("://");
    if (scheme != std::string_view::npos && text.find('/') > scheme) {
      const std::size_t path = text.find('/', scheme + 3);
      text = path == std::string_view::npos ? std::string_view("/") : text.substr(path);
    }
    return text.substr(0, text.find('?'));
  }

  void Respond(http::status status, std::string body) {
    response.result(status);
    response.version(11);
    response.keep_alive(false);
    response.set(http::field::content_type, "text/plain; charset=utf-8");
    response.body() = std::move(body);
    response.prepare_payload();
  }

  beast::tcp_stream stream;
  beast::flat_buffer buffer;
  http::request_parser<http::empty_body> parser;
  http::response<http::string_body> response;
  Endpoint& owner;
  std::list<std::shared_ptr<Connection>>::iterator listed;
  bool closed = false;
};

class Endpoint {
 public:
  bool Bind(const std::string& address, std::uint16_t port) {
    beast::error_code error;
    const auto ip = asio::ip::make_address_v4(address, error);
    if (!error) {
      const tcp::endpoint where(ip, port);
      acceptor.open(where.protocol(), error);
#if !defined(_WIN32)
      // Lets a restarted server bind while old connections linger; on Windows the same option
      // would let another program take the port, and binding again works without it.
      if (!error) acceptor.set_option(asio::socket_base::reuse_address(true), error);
#endif
      if (!error) acceptor.bind(where, error);
      if (!error) acceptor.listen(kBacklog, error);
    }
    if (error) {
      Console::Err("MetricsEndpoint(): Cannot listen on ", address, ":", Decimal(port), " - ",
                   error.message(), ".");
      return false;
    }
    Console::Out("MetricsEndpoint(): Serving metrics on http://", address, ":", Decimal(port),
                 "/metrics.");
    return true;
  }

  // The endpoint thread's whole life.
  void Run() {
    // A scrape may wait; the game's receive thread may not.
    Platform::LowerThreadPriority();
    Accept();
    WatchHealth();
    for (;;) {
      try {
        io.run();
        return;
      } catch (const std::exception& ex) {
        Console::Err("MetricsEndpoint(): ", ex.what());
      }
    }
  }

  void Forget(std::list<std::shared_ptr<Connection>>::iterator place) { open.erase(place); }

  const std::string& Snapshot() {
    const auto now = std::chrono::steady_clock::now();
    const std::chrono::duration<double> since = now - lastRefill;
    lastRefill = now;
    snapshotsAllowed =
        std::min(kSnapshotsPerSecond, snapshotsAllowed + since.count() * kSnapshotsPerSecond);
    if (snapshot.empty() || snapshotsAllowed >= 1) {
      snapshotsAllowed -= 1;
      snapshot = MetricsText();
    }
    return snapshot;
  }

 private:
  void WatchHealth() {
    NetworkingComponentServer::ServingNow();
    healthWatch.expires_after(kHealthWatch);
    healthWatch.async_wait([this](beast::error_code) { WatchHealth(); });
  }

  void Accept() {
    acceptor.async_accept([this](beast::error_code error, tcp::socket socket) {
      if (error) {
        retry.expires_after(kAcceptRetry);
        retry.async_wait([this](beast::error_code) { Accept(); });
        return;
      }
      if (open.size() >= kMaxConnections) {
        const std::shared_ptr<Connection> oldest = open.front();
        oldest->Close();
      }
      auto connection = std::make_shared<Connection>(std::move(socket), *this);
      connection->Start(open.insert(open.end(), connection));
      Accept();
    });
  }

  asio::io_context io{1};
  tcp::acceptor acceptor{io};
  asio::steady_timer retry{io};
  asio::steady_timer healthWatch{io};
  std::list<std::shared_ptr<Connection>> open;  // oldest first
  std::string snapshot;
  double snapshotsAllowed = kSnapshotsPerSecond;
  std::chrono::steady_clock::time_point lastRefill = std::chrono::steady_clock::now();
};

const std::string& Connection::Snapshot() { return owner.Snapshot(); }

void Connection::Close() {
  if (closed) return;
  closed = true;
  beast::error_code ignored;
  stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
  stream.socket().close(ignored);
  owner.Forget(listed);  // may drop the last reference but one: the caller's handler holds one
}

std::uint32_t RunEndpoint(void* endpoint) {
  static_cast<Endpoint*>(endpoint)->Run();
  return 0;
}

}  // namespace

bool StartEndpoint(const std::string& address, std::uint16_t port) {
  // Never destroyed: its thread serves until the process ends, also while the process exits.
  static Endpoint& endpoint = *new Endpoint;
  if (!endpoint.Bind(address, port)) return false;
  if (Platform::StartThread(RunEndpoint, &endpoint) == nullptr) {
    Console::Err("MetricsEndpoint(): Cannot start the endpoint's thread.");
    return false;
  }
  return true;
}

}  // namespace Metrics
