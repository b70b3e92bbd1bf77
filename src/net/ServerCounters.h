#pragma once

#include <atomic>
#include <cstdint>

// What the receive thread counts for the metrics endpoint. The receive thread only bumps these
// with relaxed increments (no lock, no allocation); the endpoint's thread reads them whenever it is
// scraped. Each counter only ever grows, except the player gauge.
struct ServerCounters {
  using Counter = std::atomic<std::uint64_t>;

  // Datagrams by outcome, and failed receives.
  Counter datagramsValid{0};
  Counter datagramsWrongSize{0};
  Counter datagramsBadChecksum{0};
  // Larger than the receive buffer: the system reports them as failed receives.
  Counter datagramsTooLarge{0};
  // Repeats of a packet the server had just sent to the same address, dropped.
  Counter datagramsEchoed{0};
  Counter receiveErrors{0};
  // Verified packets by message type.
  Counter connectMessages{0};
  Counter disconnectMessages{0};
  Counter positionMessages{0};
  Counter unknownMessages{0};
  // Connects answered with nothing: of an id already registered, from a port no game client
  // sends from, or of a new id when the registry is full or the server is draining.
  Counter connectsRefused{0};
  Counter connectsFromReservedPort{0};
  Counter connectsWhenFull{0};
  Counter connectsWhenDraining{0};
  // Connects not answered: a server's announcement (it names a player), or more Connects from
  // one address in a second than a client resends.
  Counter connectsAnnouncement{0};
  Counter connectsRateLimited{0};
  // Dropped: position updates from an address that is not registered and brings no valid proof;
  // Connects, Disconnects and updates of an id registered at another address.
  Counter updatesUnregistered{0};
  Counter wrongAddress{0};
  // Players registered by their proof, and players forgotten after the idle timeout.
  Counter admissions{0};
  Counter playersTimedOut{0};
  Counter packetsSent{0};
  Counter sendFailures{0};
  // Registered players: set, not counted, by the receive thread after each change.
  Counter registeredPlayers{0};
  // When the receive loop last finished with a datagram, in microseconds since 1970 (0: never).
  // Set, not counted: a loop that has stopped moving while datagrams wait is stuck.
  Counter receiveLoopProgressMicroseconds{0};
};

// The process's one set, alive until the process ends.
ServerCounters& Counters();

inline void Bump(ServerCounters::Counter& counter, std::uint64_t by = 1) {
  counter.fetch_add(by, std::memory_order_relaxed);
}
