// Writes the seed inputs of both fuzz targets: valid packets of every kind, and the datagrams the
// receive path must reject. Usage: velantis-fuzz-corpus <folder>; it fills <folder>/receive and
// <folder>/roundtrip.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "net/Packet.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kRawMode = 0;
constexpr std::uint8_t kSealedMode = 1;

Packet MakePacket(std::uint64_t clientID, MessageType type, const char* text,
                  std::uint32_t entityID) {
  Packet packet;
  packet.Init(clientID, type, text, entityID);
  packet.Body().position = Vec2(3.5f, -7.25f);
  packet.Body().playerUUID = clientID;
  packet.Header().messageNumber = 17;
  return packet;
}

Bytes PacketBytes(const Packet& packet) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(packet.Bytes());
  return Bytes(bytes, bytes + Packet::kSize);
}

Bytes Sealed(Packet packet) {
  packet.Seal();
  return PacketBytes(packet);
}

Bytes WithMode(std::uint8_t mode, Bytes bytes) {
  bytes.insert(bytes.begin(), mode);
  return bytes;
}

template <class T>
void Append(Bytes& bytes, T value) {
  const auto* raw = reinterpret_cast<const std::uint8_t*>(&value);
  bytes.insert(bytes.end(), raw, raw + sizeof(T));
}

Bytes RoundTripInput(std::uint64_t clientID, std::uint8_t type, std::uint32_t entityID, float x,
                     float y, std::uint64_t playerUUID, std::uint32_t messageNumber,
                     std::uint16_t damagedOffset, std::uint8_t damageMask,
                     const std::string& text) {
  Bytes bytes;
  Append(bytes, clientID);
  Append(bytes, type);
  Append(bytes, entityID);
  Append(bytes, x);
  Append(bytes, y);
  Append(bytes, playerUUID);
  Append(bytes, messageNumber);
  Append(bytes, damagedOffset);
  Append(bytes, damageMask);
  bytes.insert(bytes.end(), text.begin(), text.end());
  return bytes;
}

bool Save(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(file);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
    return 2;
  }
  const std::filesystem::path receive = std::filesystem::path(argv[1]) / "receive";
  const std::filesystem::path roundTrip = std::filesystem::path(argv[1]) / "roundtrip";
  std::filesystem::create_directories(receive);
  std::filesystem::create_directories(roundTrip);

  const Packet connect = MakePacket(7, MessageType::Connect, "hello", 0);
  const Packet welcome = MakePacket(0, MessageType::Welcome, "welcome", 99);
  const Packet disconnect = MakePacket(7, MessageType::Disconnect, "bye", 0);
  const Packet position =
      MakePacket(7, MessageType::PlayerPositionUpdate, "Player position update", 5);
  const Packet unknown = MakePacket(7, MessageType{4}, "type four", 0);

  Bytes corrupted = Sealed(position);
  corrupted[600] ^= 0x20;
  Bytes oversized = Sealed(position);
  oversized.resize(1200, 0xab);
  Bytes shortDatagram = Sealed(position);
  shortDatagram.resize(500);

  bool saved = true;
  saved &= Save(receive / "raw-connect", WithMode(kRawMode, Sealed(connect)));
  saved &= Save(receive / "raw-welcome", WithMode(kRawMode, Sealed(welcome)));
  saved &= Save(receive / "raw-disconnect", WithMode(kRawMode, Sealed(disconnect)));
  saved &= Save(receive / "raw-position", WithMode(kRawMode, Sealed(position)));
  saved &= Save(receive / "raw-unknown-type", WithMode(kRawMode, Sealed(unknown)));
  saved &= Save(receive / "raw-corrupted", WithMode(kRawMode, corrupted));
  saved &= Save(receive / "raw-short", WithMode(kRawMode, shortDatagram));
  saved &= Save(receive / "raw-oversized", WithMode(kRawMode, oversized));
  saved &= Save(receive / "raw-empty", Bytes{kRawMode});
  saved &= Save(receive / "sealed-connect", WithMode(kSealedMode, PacketBytes(connect)));
  saved &= Save(receive / "sealed-disconnect", WithMode(kSealedMode, PacketBytes(disconnect)));
  saved &= Save(receive / "sealed-position", WithMode(kSealedMode, PacketBytes(position)));
  saved &= Save(receive / "sealed-welcome", WithMode(kSealedMode, PacketBytes(welcome)));

  saved &= Save(roundTrip / "connect", RoundTripInput(7, 1, 0, 0, 0, 7, 1, 24, 1, "hello"));
  saved &= Save(roundTrip / "welcome", RoundTripInput(0, 2, 99, 0, 0, 0, 2, 0, 0x80, "welcome"));
  saved &= Save(roundTrip / "disconnect", RoundTripInput(7, 3, 0, 0, 0, 7, 3, 1055, 0xff, ""));
  saved &= Save(roundTrip / "position",
                RoundTripInput(7, 5, 5, 3.5f, -7.25f, 7, 4, 40, 4, "Player position update"));
  saved &= Save(roundTrip / "long-text",
                RoundTripInput(1, 5, 1, 1, 1, 1, 5, 1040, 2, std::string(1100, 'x')));
  if (!saved) {
    std::fprintf(stderr, "cannot write the corpus below %s\n", argv[1]);
    return 1;
  }
  return 0;
}
