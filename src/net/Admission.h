#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "net/NetworkingComponent.h"
#include "net/Packet.h"

// What the receive thread keeps about addresses that have not proven themselves: never more than
// a fixed amount, whatever a flood of forged sources sends. Neither is needed to check a proof.

// How many Connects of one address and port are answered: at most kPerSecond in each second of
// the receive loop's clock. The slots are keyed by address and port; a slot that another source
// hashes to is taken over, so a flood can make the table forget an honest client but never make
// it refuse one.
class ConnectAnswers {
 public:
  static constexpr std::size_t kSlots = 4096;
  static constexpr std::uint32_t kPerSecond = 4;

  bool Allow(const Orlin::Ipv4Address& from, std::uint64_t nowMicroseconds);

  static ConnectAnswers& OfThisThread();

 private:
  struct Slot {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    std::uint32_t answered = 0;
    std::uint64_t second = 0;
  };
  std::vector<Slot> slots = std::vector<Slot>(kSlots);
};

// The Connects answered and not yet proven, so that the announcement to the other players, sent
// once the newcomer proves its address, carries the Connect's own text and position. Hashed slots:
// a newer Connect that hashes to a slot replaces the one there.
class PendingConnects {
 public:
  static constexpr std::size_t kSlots = 256;

  void Keep(const Packet& connect, const Orlin::Ipv4Address& from, std::uint32_t entityID);
  // The Connect `clientID` sent from `from`, taken out of the cache; false when it is gone.
  bool Take(const Orlin::Ipv4Address& from, std::uint64_t clientID, std::uint32_t entityID,
            Packet& connect);

  static PendingConnects& OfThisThread();

 private:
  struct Slot {
    bool used = false;
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    Packet connect;
  };
  Slot& SlotOf(std::uint32_t entityID) { return slots[entityID % kSlots]; }
  std::vector<Slot> slots = std::vector<Slot>(kSlots);
};
