#include "logs/LogsManager.h"
#include "net/NetworkingComponentClient.h"
#include "net/NetworkingComponentServer.h"
#include "net/Packet.h"
#include "net/ServerCounters.h"
#include "utils/Console.h"
#include "utils/MiscUtils.h"

namespace {

// Every packet the server sends leaves from its own socket, the one its players send to: a router
// that tracks connections lets a reply in only when it comes back from the address and port the
// player sent to. The receive thread is the only one that sends, so the socket needs no lock.
void SendTo(Packet& packet, Platform::SocketHandle serverSocket, const Orlin::Ipv4Address& to,
            std::uint64_t asClientID) {
  thread_local NetworkingComponentClient toClient;
  [[maybe_unused]] thread_local const bool ready = toClient.Init(0, Orlin::Protocol::Udp);
  toClient.UseSocket(serverSocket);
  toClient.SetTargetAddress(to);
  NetworkingComponentClient::playerUUID = asClientID;
  Bump(toClient.Send(packet) ? Counters().packetsSent : Counters().sendFailures);
  NetworkingComponentClient::playerUUID = 0;
}

void Report(LogsManager& logs, const char* message) {
  Console::Out("NetworkingComponentServer(): ", message);
  logs.Write(std::string("NetworkingComponentServer(): ") + message + " \n", true);
}

void Connect(const Packet& receivedPacket, const Orlin::Ipv4Address& from, LogsManager& logs,
             Platform::SocketHandle serverSocket) {
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
    SendTo(newClientPacket, serverSocket, clientSock, id);
  }

  Packet responsePacket;
  responsePacket.Init(0, MessageType::Welcome, "welcome", entityID);
  SendTo(responsePacket, serverSocket, from, 0);
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
void RelayPosition(const Packet& receivedPacket, Platform::SocketHandle serverSocket) {
  const std::uint64_t id = receivedPacket.Header().clientID;
  for (const auto& [registeredID, registeredAddress] : NetworkingComponentServer::Clients()) {
    const Orlin::Ipv4Address clientSock = registeredAddress;
    Packet updatePosPacket = receivedPacket;
    updatePosPacket.Body().playerUUID = id;
    SendTo(updatePosPacket, serverSocket, clientSock, id);
  }
}

}  // namespace

void NetworkingComponentServer::Dispatch(Packet& receivedPacket, const Orlin::Ipv4Address& from,
                                         LogsManager& logs, Platform::SocketHandle serverSocket) {
  switch (receivedPacket.Header().messageType) {
    case MessageType::Connect:
      Bump(Counters().connectMessages);
      Connect(receivedPacket, from, logs, serverSocket);
      break;
    case MessageType::Disconnect:
      Bump(Counters().disconnectMessages);
      Disconnect(receivedPacket, logs);
      break;
    case MessageType::PlayerPositionUpdate:
      Bump(Counters().positionMessages);
      RelayPosition(receivedPacket, serverSocket);
      break;
    default:
      Bump(Counters().unknownMessages);
      Console::Err("NetworkingComponent(): Default case triggered.");
      break;
  }
}
