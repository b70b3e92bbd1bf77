#include "support/TestSupport.h"

#include <chrono>
#include <fstream>
#include <random>
#include <sstream>

#include "utils/MiscUtils.h"

namespace TestSupport {

const std::filesystem::path& DataHome() {
  static const std::filesystem::path folder = [] {
    std::random_device entropy;
    const auto name = "velantis-test-" + std::to_string(Platform::CurrentProcessId()) + "-" +
                      std::to_string(entropy());
    auto path = std::filesystem::temp_directory_path() / name;
    std::filesystem::create_directories(path);
    return path;
  }();
  return folder;
}

std::filesystem::path ThreadsLogsFolder() {
  const std::string folder =
      MiscUtils::GetLocalAppDataPath() + MiscUtils::ServerDataFolder + "ThreadsLogs";
  return std::filesystem::path(std::u8string(folder.begin(), folder.end()));
}

std::string ReadFile(const std::filesystem::path& path) {
  // Text mode, as the server writes its logs: line ends read as line feeds on every platform.
  std::ifstream file(path);
  std::ostringstream content;
  content << file.rdbuf();
  return content.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::size_t Count(const std::string& text, const std::string& needle) {
  std::size_t count = 0;
  for (std::size_t at = text.find(needle); at != std::string::npos;
       at = text.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

UdpPeer::UdpPeer() {
  Platform::StartSocketLibrary();
  socket_ = Platform::OpenSocket(Platform::SocketKind::Datagram);
  EXPECT_NE(socket_, Platform::kNoSocket);
  EXPECT_TRUE(Platform::Bind(socket_, Platform::LoopbackAddress(0)));
  port_ = Platform::LocalPort(socket_);
}

UdpPeer::~UdpPeer() {
  Platform::CloseSocket(socket_);
  Platform::StopSocketLibrary();
}

Platform::Ipv4Address UdpPeer::Address() const { return Platform::LoopbackAddress(port_); }

void UdpPeer::SendBytes(std::uint16_t toPort, const void* data, std::size_t size) const {
  EXPECT_EQ(Platform::SendTo(socket_, data, size, Platform::LoopbackAddress(toPort)),
            static_cast<long>(size));
}

void UdpPeer::SendPacket(std::uint16_t toPort, const Packet& packet) const {
  SendBytes(toPort, packet.Bytes(), Packet::kSize);
}

std::optional<Datagram> UdpPeer::Receive(int timeoutMilliseconds) const {
  if (!Platform::WaitReadable(socket_, timeoutMilliseconds)) return std::nullopt;
  Datagram datagram;
  datagram.bytes.resize(2048);
  Platform::Ipv4Address from;
  int fromLength = sizeof(from);
  const long size = Platform::ReceiveFrom(socket_, datagram.bytes.data(), datagram.bytes.size(),
                                          from, fromLength);
  if (size < 0) return std::nullopt;
  datagram.bytes.resize(static_cast<std::size_t>(size));
  datagram.sourcePort = static_cast<std::uint16_t>((from.port >> 8) | (from.port << 8));
  return datagram;
}

Packet UdpPeer::ReceivePacket(int timeoutMilliseconds) const {
  Packet packet;
  const std::optional<Datagram> datagram = Receive(timeoutMilliseconds);
  EXPECT_TRUE(datagram.has_value()) << "no datagram arrived on port " << port_;
  if (!datagram) return packet;
  EXPECT_EQ(datagram->bytes.size(), Packet::kSize);
  if (datagram->bytes.size() == Packet::kSize) packet.LoadBytes(datagram->bytes.data());
  return packet;
}

bool UdpPeer::Quiet(int timeoutMilliseconds) const {
  return !Platform::WaitReadable(socket_, timeoutMilliseconds);
}

Packet MakePacket(std::uint64_t clientID, MessageType type, const char* text,
                  std::uint32_t entityID, Vec2 position, std::uint32_t messageNumber) {
  Packet packet;
  packet.Init(clientID, type, text, entityID);
  packet.Body().position = position;
  packet.Header().messageNumber = messageNumber;
  packet.Seal();
  return packet;
}

NetworkingComponentServer* KeepForever(NetworkingComponentServer* server) {
  static auto* servers = new std::vector<NetworkingComponentServer*>();
  servers->push_back(server);
  return server;
}

bool ChecksumMatches(const Packet& packet) {
  Packet copy = packet;
  std::uint64_t received = 0;
  return copy.Verify(received);
}

}  // namespace TestSupport
