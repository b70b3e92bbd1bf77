#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

// The game server's side of Agones, which runs game servers in Kubernetes fleets: the SDK
// sidecar's REST API on localhost:$AGONES_SDK_HTTP_PORT. Nothing of it happens when the variable
// is absent.
//
// A thread of its own tells the sidecar, in this order and retrying whatever fails without
// touching the game: Ready (the server is bound and serving), then Health every interval for as
// long as the game is served (NetworkingComponentServer::ServingNow: none once the receive loop is
// stuck in a datagram or has ended, so that Agones replaces the server), and each change of the
// player count as an increment or decrement of the counter "players" (never an absolute count,
// which would overwrite what an allocation added to it). It watches the GameServer: once it is
// Allocated, the match has ended when its players have all left after some came, or when none
// came within the empty time (0: wait for ever); the server then stops as on SIGTERM (it drains
// whoever is left and exits), and the stop sends Shutdown once.
namespace Fleet {

// The sidecar's port from the environment: nothing when the variable is absent; a usage error is
// reported (and nothing returned) when it is not a port number.
std::optional<std::uint16_t> AgonesPortFromEnvironment();

// Starts the thread; call once the game socket is bound.
void StartAgones(std::uint16_t sidecarPort, std::chrono::milliseconds healthInterval,
                 std::chrono::milliseconds emptyShutdown);

// Sends Shutdown (trying for at most about two seconds) and ends the thread. Does nothing when
// the thread was never started.
void StopAgones();

}  // namespace Fleet
