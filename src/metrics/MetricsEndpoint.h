#pragma once

#include <cstdint>
#include <string>

// The HTTP endpoint Prometheus scrapes: GET /metrics on the address and TCP port it is given, and
// nowhere else, served on a thread of its own. GET /healthz answers 200 "ok" while the game is
// served (NetworkingComponentServer::ServingNow; draining included, and said), 503 with the reason
// otherwise: not bound yet, stuck, stopped. Every other path is 404 and every other method
// 405; a request whose line and headers exceed 8 KiB, or that is not complete within 5 seconds, is
// refused and its connection closed; each connection carries one request; at most 64 are open at
// once, the oldest closed first to make room.
namespace Metrics {

// Binds and starts serving. False, with the reason on the console, when the address cannot be
// bound; the endpoint then does not exist. `address` is dotted IPv4 text.
bool StartEndpoint(const std::string& address, std::uint16_t port);

}  // namespace Metrics
