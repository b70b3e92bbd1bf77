#include "net/Packet.h"

#include <cstring>

bool Packet::Init(std::uint64_t clientID, MessageType messageType, const char* text,
                  std::uint32_t entityID) {
  if (initialized == 1) return false;
  header = PacketHeader{};
  body = PacketBody{};
  header.clientID = clientID;
  header.messageType = messageType;
  const std::size_t length = text == nullptr ? 0 : strnlen(text, kMessageCapacity - 1);
  std::memcpy(body.message, text, length);
  body.entityID = entityID;
  initialized = 1;
  return true;
}

void Packet::Reset() {
  initialized = 0;
  std::memset(gap, 0, sizeof(gap));
  header = PacketHeader{};
  body = PacketBody{};
}

void Packet::LoadBytes(const std::byte* data) {
  std::memcpy(&initialized, data, 1);
  std::memcpy(gap, data + 1, sizeof(gap));
  std::memcpy(&header, data + offsetof(Packet, header), sizeof(header));
  std::memcpy(&body, data + offsetof(Packet, body), sizeof(body));
}

void Packet::Seal() {
  header.checksum = 0;
  header.checksum = ComputeChecksum(Bytes(), static_cast<std::int32_t>(kSize));
}

bool Packet::Verify(std::uint64_t& receivedChecksum) {
  receivedChecksum = header.checksum;
  header.checksum = 0;
  return ComputeChecksum(Bytes(), static_cast<std::int32_t>(kSize)) == receivedChecksum;
}

std::string_view Packet::MessageText() const {
  return {body.message, strnlen(body.message, kMessageCapacity)};
}

std::uint64_t Packet::ComputeChecksum(const void* data, std::int32_t length) {
  if (data == nullptr || length == 0) return 0;
  std::uint64_t hash = 0xcbf29ce484222325ULL;
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (std::int32_t i = 0; i < length; ++i) {
    hash ^= bytes[i];
    hash *= 0x100000001b3ULL;
  }
  return hash;
}
