#include "net/NetworkingComponentClient.h"

#include <vector>

#include "logs/ThreadsLogs.h"
#include "utils/Console.h"

namespace {

std::uint32_t ReturnAtOnce(void*) { return 0; }

}  // namespace

std::unordered_map<std::uint32_t, std::uint64_t>& NetworkingComponentClient::EntityRegistry() {
  static std::unordered_map<std::uint32_t, std::uint64_t> registry;
  return registry;
}

bool NetworkingComponentClient::Init(std::uint64_t playerUUID, Orlin::Protocol protocol) {
  if (initialized) return false;
  if (!StartModule(protocol)) return false;
  NetworkingComponentClient::playerUUID = playerUUID;
  initialized = true;
  return true;
}

bool NetworkingComponentClient::Start(const char* address, std::int32_t port) {
  if (!CreateSocket()) return false;
  if (!SetupAddress(target, port)) return false;
  this->address = address;
  if (!SetupTarget()) return false;
  if (protocol == Orlin::Protocol::Tcp && !ConnectToServer()) return false;
  return true;
}

bool NetworkingComponentClient::SetupTarget() {
  if (Platform::ParseIpv4(address, target.address) == -1) {
    Console::Err("NetworkingComponent(): Error during structure initialization with this code: ",
                 Decimal(Platform::LastSocketError()));
    CloseSocket();
    return false;
  }
  Console::Out(
      "NetworkingComponent(): Target structure successfully initialized with ip address: [",
      address, ":", Decimal(port), "].");
  return true;
}

bool NetworkingComponentClient::ConnectToServer() {
  if (!Platform::Connect(socket, target)) {
    const int error = Platform::LastSocketError();
    Console::Err("NetworkingComponent(): Cannot connect to the server: [", address, ":",
                 Decimal(port), "] - Error code: ", Decimal(error));
    CloseSocket();
    return false;
  }
  Console::Out("NetworkingComponent(): Connected to the server: [", address, ":", Decimal(port),
               "]");
  return true;
}

void NetworkingComponentClient::SetTargetAddress(const Orlin::Ipv4Address& record) {
  target = record;
}

bool NetworkingComponentClient::Send(Packet& packet) {
  packet.Seal(playerUUID, MessageCounter());
  if (protocol != Orlin::Protocol::Udp) {
    Console::Err("NetworkingComponent(): This function is not implemented: ");
    return false;
  }
  if (Platform::SendTo(socket, packet.Bytes(), Packet::kSize, target) <= 0) {
    Console::Err("NetworkingComponent(): Sending error with this code: ",
                 Decimal(Platform::LastSocketError()));
    return false;
  }
  ++MessageCounter();
  Console::Out("NetworkingComponent(): Message of size ", Decimal(Packet::kSize), " bytes sent.");
  return true;
}

void NetworkingComponentClient::Stamp(Packet* packets, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    packets[i].Header().clientID = playerUUID;
    packets[i].Header().messageNumber = MessageCounter() + static_cast<std::uint32_t>(i);
    packets[i].Header().checksum = 0;
  }
}

std::size_t NetworkingComponentClient::SendStamped(Packet* packets,
                                                   const Orlin::Ipv4Address* targets,
                                                   std::size_t count) {
  if (protocol != Orlin::Protocol::Udp) {
    for (std::size_t i = 0; i < count; ++i) {
      Console::Err("NetworkingComponent(): This function is not implemented: ");
    }
    return 0;
  }
  // Kept per thread so that sending allocates nothing once the thread has warmed up.
  thread_local std::vector<Platform::OutgoingDatagram> datagrams;
  thread_local std::vector<const Packet*> resealed;
  thread_local std::vector<std::uint64_t> checksums;
  datagrams.resize(count);
  for (std::size_t i = 0; i < count; ++i) {
    datagrams[i] = {packets[i].Bytes(), Packet::kSize, &targets[i]};
  }
  std::size_t next = 0;
  std::size_t delivered = 0;
  while (next < count) {
    const long sent = Platform::SendBatch(socket, datagrams.data() + next, count - next);
    if (sent > 0) {
      delivered += static_cast<std::size_t>(sent);
      for (long i = 0; i < sent; ++i) {
        ++MessageCounter();
        Console::Out("NetworkingComponent(): Message of size ", Decimal(Packet::kSize),
                     " bytes sent.");
      }
      next += static_cast<std::size_t>(sent);
      continue;
    }
    Console::Err("NetworkingComponent(): Sending error with this code: ",
                 Decimal(Platform::LastSocketError()));
    // The failed datagram took no number: those after it each move down by one.
    ++next;
    Stamp(packets + next, count - next);
    resealed.clear();
    for (std::size_t i = next; i < count; ++i) resealed.push_back(&packets[i]);
    checksums.resize(resealed.size());
    Packet::ComputeChecksums(resealed.data(), resealed.size(), checksums.data());
    for (std::size_t i = next; i < count; ++i) packets[i].Header().checksum = checksums[i - next];
  }
  return delivered;
}

bool NetworkingComponentClient::StartReceiving() {
  if (protocol == Orlin::Protocol::Udp) {
    ThreadsLogs::GetInstance().CreateLoggedThread(ReturnAtOnce, socket);
  }
  Console::Out("NetworkingComponent(): Waiting a message...");
  return true;
}

void NetworkingComponentClient::SendPlayerPosition(Vec2 position, std::uint64_t playerUUID) {
  for (const auto& [entityID, owner] : EntityRegistry()) {
    if (owner != playerUUID) continue;
    Packet packet;
    packet.Init(NetworkingComponentClient::playerUUID, MessageType::PlayerPositionUpdate,
                "Player position update", 0);
    packet.Body().position = position;
    packet.Body().entityID = entityID;
    packet.Body().playerUUID = NetworkingComponentClient::playerUUID;
    Send(packet);
  }
}
