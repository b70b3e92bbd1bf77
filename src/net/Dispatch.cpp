#include "logs/LogsManager.h"
#include "net/NetworkingComponentClient.h"
#include "net/NetworkingComponentServer.h"
#include "net/Packet.h"
#include "net/ServerCounters.h"
#include "utils/Console.h"
#include "utils/MiscUtils.h"

namespace {

// Each reply goes out through a client component of its own, from a socket of its own. The
// socket is closed after its single send; otherwise every reply would leak a descriptor.
void SendTo(Packet& packet, const Orlin::Ipv4Address& to, std::uint64_t asClientID) {
  NetworkingComponentClient toClient;
  toClient.Init(asClientID, Orlin::Protocol::Udp);
  toClient.CreateSocket();
  toClient.SetTargetAddress(to);
  Bump(toClient.Send(packet) ? Counters().packetsSent : Counters().sendFailures);
  if (toClient.Socket() != Platform::kNoSocket) toClient.CloseSocket();
}

void Report(LogsManager& logs, const char* message) {
  Console::Out("NetworkingComponentServer(): ", message);
  logs.Write(std::string("NetworkingComponentServer(): ") + message + " \n", true);
}

void Connect(const Packet& receivedPacket, const Orlin::Ipv4Address& from, LogsManager& logs) {
  auto& clients = NetworkingComponentServer::Clients();
  const std::uint64_t id = receivedPacket.Header().clientID;
  if (clients.contains(id)) {
    Bump(Counters().connectsRefused);
    Report(logs, "Client already connected.");
    return;
  }
  const std::uint64_t clientIDinMap = id;
  clients.insert({clientIDinMap, from});
  Counters().registeredPlayers.store(clients.size(), std::memory_order_relaxed);
  Report(logs, "Client connected.");

  const auto entityID = static_cast<std::uint32_t>(MiscUtils::GenerateRandomId());
  for (const auto& [registeredID, registeredAddress] : clients) {
    const Orlin::Ipv4Address clientSock = registeredAddress;
    Packet newClientPacket = receivedPacket;
    newClientPacket.Body().playerUUID = id;
    newClientPacket.Body().entityID = entityID;
    SendTo(newClientPacket, clientSock, id);
  }

  Packet responsePacket;
  responsePacket.Init(0, MessageType::Welcome, "welcome", entityID);
  SendTo(responsePacket, from, 0);
}

void Disconnect(const Packet& receivedPacket, LogsManager& logs) {
  auto& clients = NetworkingComponentServer::Clients();
  if (clients.erase(receivedPacket.Header().clientID) == 1) {
    Counters().registeredPlayers.store(clients.size(), std::memory_order_relaxed);
    Report(logs, "Client disconnected.");
  } else {
    Report(logs, "Client is not connected.");
  }
}

// Relayed to every registered player, the sender included; the sender need not be registered.
void RelayPosition(const Packet& receivedPacket) {
  const std::uint64_t id = receivedPacket.Header().clientID;
  for (const auto& [registeredID, registeredAddress] : NetworkingComponentServer::Clients()) {
    const Orlin::Ipv4Address clientSock = registeredAddress;
    Packet updatePosPacket = receivedPacket;
    updatePosPacket.Body().playerUUID = id;
    SendTo(updatePosPacket, clientSock, id);
  }
}

}  // namespace

void NetworkingComponentServer::Dispatch(Packet& receivedPacket, const Orlin::Ipv4Address& from,
                                         LogsManager& logs) {
  switch (receivedPacket.Header().messageType) {
    case MessageType::Connect:
      Bump(Counters().connectMessages);
      Connect(receivedPacket, from, logs);
      break;
    case MessageType::Disconnect:
      Bump(Counters().disconnectMessages);
      Disconnect(receivedPacket, logs);
      break;
    case MessageType::PlayerPositionUpdate:
      Bump(Counters().positionMessages);
      RelayPosition(receivedPacket);
      break;
    default:
      Bump(Counters().unknownMessages);
      Console::Err("NetworkingComponent(): Default case triggered.");
      break;
  }
}
