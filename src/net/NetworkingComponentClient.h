#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>

#include "net/NetworkingComponent.h"
#include "net/Packet.h"
#include "utils/Vec2.h"

// The sending side of the packet protocol: aims at one IPv4 address and sends stamped, numbered,
// checksummed packets to it. The server sends every reply through one of these lent its own socket.
class NetworkingComponentClient : public Orlin::NetworkingComponent {
 public:
  NetworkingComponentClient() { ResetFields(); }
  ~NetworkingComponentClient() override { ResetFields(); }  // leaves the socket open

  bool Init(std::uint64_t playerUUID, Orlin::Protocol protocol);
  // CreateSocket, SetupAddress, SetupTarget and, for TCP, ConnectToServer.
  bool Start(const char* address, std::int32_t port) override;
  bool SetupTarget();
  bool ConnectToServer();
  void SetTargetAddress(const Orlin::Ipv4Address& record);
  // Sends through a socket that someone else opened and will close (the server's own).
  void UseSocket(Platform::SocketHandle borrowed) { socket = borrowed; }
  // Stamps the packet with the client id and the next message number, seals it and sends it.
  bool Send(Packet& packet);
  // Stamps each packet as Send does but leaves it unsealed (checksum 0), for a caller that seals
  // several at once: the client id, and consecutive message numbers from the counter's value.
  static void Stamp(Packet* packets, std::size_t count);
  // Sends packets[i], stamped by Stamp and sealed, to targets[i], in order, with as few system
  // calls as the platform allows, printing per packet what Send prints. The counter advances once
  // per datagram that went out; the packets after one that failed are stamped and sealed afresh,
  // so the numbers stay consecutive over the datagrams sent. Returns how many went out.
  std::size_t SendStamped(Packet* packets, const Orlin::Ipv4Address* targets, std::size_t count);
  bool StartReceiving();
  // Sends a position update for every entity of the registry owned by playerUUID.
  void SendPlayerPosition(Vec2 position, std::uint64_t playerUUID);

  const Orlin::Ipv4Address& Target() const { return target; }

  // The id stamped into every outgoing packet's clientID, for the whole process.
  static inline std::uint64_t playerUUID = 0;
  // Sets playerUUID for what is stamped in its scope: the server sends each packet in the name of
  // the player it concerns, and in nobody's (0) otherwise.
  class SendingAs {
   public:
    explicit SendingAs(std::uint64_t id) { playerUUID = id; }
    ~SendingAs() { playerUUID = 0; }
    SendingAs(const SendingAs&) = delete;
    SendingAs& operator=(const SendingAs&) = delete;
  };
  // Entity id to owning player id.
  static std::unordered_map<std::uint32_t, std::uint64_t>& EntityRegistry();

 private:
  void ResetFields() {
    initialized = false;
    address = nullptr;
    target = Orlin::Ipv4Address{};
    playerUUID = 0;
  }

  bool initialized;
  const char* address;  // not owned
  Orlin::Ipv4Address target;
};
