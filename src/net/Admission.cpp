#include "net/Admission.h"

#include <array>
#include <cstring>

#include "net/NetworkingComponentServer.h"
#include "utils/MiscUtils.h"
#include "utils/SipHash.h"

namespace {

// Drawn once, on first use, from the system's entropy; never leaves the process.
const std::array<std::uint64_t, 2>& Secret() {
  static const std::array<std::uint64_t, 2> secret = MiscUtils::GenerateSecret();
  return secret;
}

}  // namespace

std::uint32_t NetworkingComponentServer::EntityOf(const Orlin::Ipv4Address& from,
                                                  std::uint64_t clientID) {
  std::array<unsigned char, 14> input{};
  std::memcpy(input.data(), &from.address, 4);
  std::memcpy(input.data() + 4, &from.port, 2);
  std::memcpy(input.data() + 6, &clientID, 8);
  const auto entityID = static_cast<std::uint32_t>(SipHash24(Secret(), input.data(), input.size()));
  // 0 is what a client sends before it has a Welcome.
  return entityID == 0 ? 1 : entityID;
}

bool ConnectAnswers::Allow(const Orlin::Ipv4Address& from, std::uint64_t nowMicroseconds) {
  const std::uint64_t key = (std::uint64_t{from.address} << 16) | from.port;
  Slot& slot = slots[(key * 0x9e3779b97f4a7c15ULL) >> 52];
  const std::uint64_t second = nowMicroseconds / 1000000;
  if (slot.address != from.address || slot.port != from.port || slot.second != second) {
    slot = Slot{from.address, from.port, 0, second};
  }
  if (slot.answered >= kPerSecond) return false;
  ++slot.answered;
  return true;
}

ConnectAnswers& ConnectAnswers::OfThisThread() {
  thread_local ConnectAnswers answers;
  return answers;
}

void PendingConnects::Keep(const Packet& connect, const Orlin::Ipv4Address& from,
                           std::uint32_t entityID) {
  Slot& slot = SlotOf(entityID);
  slot.used = true;
  slot.address = from.address;
  slot.port = from.port;
  slot.connect = connect;
}

bool PendingConnects::Take(const Orlin::Ipv4Address& from, std::uint64_t clientID,
                           std::uint32_t entityID, Packet& connect) {
  Slot& slot = SlotOf(entityID);
  if (!slot.used || slot.address != from.address || slot.port != from.port ||
      slot.connect.Header().clientID != clientID) {
    return false;
  }
  slot.used = false;
  connect = slot.connect;
  return true;
}

PendingConnects& PendingConnects::OfThisThread() {
  thread_local PendingConnects pending;
  return pending;
}
