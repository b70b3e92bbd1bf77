#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "net/NetworkingComponent.h"

class Packet;

// The packets the server sent most recently and where each went, so that a datagram that merely
// repeats one of them back to the server can be told from a player's own packet. An echo service,
// or anything else that returns what it receives, would otherwise have its copy of a relay
// relayed again, to itself among others, for as long as it stays registered.
//
// Every packet the server sends carries the next number of its one message counter, so the last
// kEntries packets sent sit in a ring indexed by their number: recording and looking up cost one
// slot each. A player's own packet matches only when it is, byte for byte, a copy the server sent
// that player: its own update relayed back, with the player's counter at that moment meeting the
// number the server gave the copy, and the same position and text. Dropping it then loses nothing
// that the copy had not just delivered to every player.
class RecentSends {
 public:
  // About a third of a second of sends at the measured capacity of one receive thread.
  static constexpr std::size_t kEntries = std::size_t{1} << 16;

  void Record(const Packet& sent, const Orlin::Ipv4Address& to);
  bool Repeats(const Packet& received, const Orlin::Ipv4Address& from) const;

  // The receive thread's own, made on its first use.
  static RecentSends& OfThisThread();

 private:
  struct Entry {
    std::uint64_t checksum = 0;
    std::uint32_t number = 0;
    std::uint32_t address = 0;  // network byte order, as in the address record
    std::uint16_t port = 0;     // network byte order; 0 in a slot never written
  };

  std::vector<Entry> entries = std::vector<Entry>(kEntries);
};
