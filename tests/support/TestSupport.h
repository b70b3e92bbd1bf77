#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "net/NetworkingComponentServer.h"
#include "net/Packet.h"
#include "platform/platform.h"

namespace TestSupport {

// The fresh folder this test program uses as the user's data folder (XDG_DATA_HOME on POSIX).
const std::filesystem::path& DataHome();

// The folder that holds the thread logs under the data folder.
std::filesystem::path ThreadsLogsFolder();

std::string ReadFile(const std::filesystem::path& path);

// Every line of a text, each with its line feed removed.
std::vector<std::string> Lines(const std::string& text);

// How many times `needle` stands in `text`, counting from the end of each one found.
std::size_t Count(const std::string& text, const std::string& needle);

struct Datagram {
  std::vector<std::byte> bytes;
  std::uint16_t sourcePort = 0;
};

// A player's end of the conversation: a real UDP socket bound to an ephemeral loopback port.
class UdpPeer {
 public:
  UdpPeer();
  ~UdpPeer();
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  std::uint16_t Port() const { return port_; }
  Platform::Ipv4Address Address() const;

  void SendBytes(std::uint16_t toPort, const void* data, std::size_t size) const;
  void SendPacket(std::uint16_t toPort, const Packet& packet) const;

  // The next datagram, or nothing once `timeoutMilliseconds` passed without one.
  std::optional<Datagram> Receive(int timeoutMilliseconds = 30000) const;
  // The next datagram as a packet; fails the test when none comes or it is not one packet.
  Packet ReceivePacket(int timeoutMilliseconds = 30000) const;
  // True when nothing arrives within the time.
  bool Quiet(int timeoutMilliseconds = 200) const;

 private:
  Platform::SocketHandle socket_ = Platform::kNoSocket;
  std::uint16_t port_ = 0;
};

// A sealed packet as a game client would send it.
Packet MakePacket(std::uint64_t clientID, MessageType type, const char* text = "",
                  std::uint32_t entityID = 0, Vec2 position = {}, std::uint32_t messageNumber = 1);

// Servers started by tests live until the process ends, like the server of the real process, and
// are never destroyed: their receive threads may still be dispatching while the process exits.
NetworkingComponentServer* KeepForever(NetworkingComponentServer* server);

// Whether the packet's checksum matches (the packet itself is left as it was).
bool ChecksumMatches(const Packet& packet);

}  // namespace TestSupport
