#include "Codec.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace Velantis {

Verdict DecodeDatagram(const std::byte* data, long size, Packet& packet) {
  packet.Reset();
  if (size != static_cast<long>(Packet::kSize)) return Verdict::WrongSize;
  packet.LoadBytes(data);
  std::uint64_t checksum = 0;
  const bool matches = packet.Verify(checksum);
  packet.Header().checksum = checksum;
  if (!matches) return Verdict::BadChecksum;
  switch (packet.Header().messageType) {
    case MessageType::Connect:
    case MessageType::Welcome:
    case MessageType::PlayerPositionUpdate:
      return Verdict::Packet;
    default:
      return Verdict::UnknownType;
  }
}

void ToEvent(Verdict verdict, const Packet& packet, long size, velantis_event& event,
             TextBuffer& text) {
  const PacketHeader& header = packet.Header();
  const PacketBody& body = packet.Body();
  event.reject_reason = VELANTIS_REJECT_NONE;
  event.player_id = body.playerUUID;
  event.client_id = header.clientID;
  event.entity_id = body.entityID;
  event.message_number = header.messageNumber;
  event.x = body.position.x;
  event.y = body.position.y;
  // Copied, because a sender may fill all 1000 bytes and leave no terminator in the field.
  const std::string_view message = packet.MessageText();
  std::memcpy(text, message.data(), message.size());
  text[message.size()] = '\0';
  event.text = text;
  event.text_length = static_cast<std::uint32_t>(message.size());
  event.datagram_size = static_cast<std::int32_t>(size);
  event.message_type = static_cast<std::uint8_t>(header.messageType);
  switch (verdict) {
    case Verdict::WrongSize:
      event.type = VELANTIS_EVENT_REJECTED;
      event.reject_reason = VELANTIS_REJECT_SIZE;
      return;
    case Verdict::BadChecksum:
      event.type = VELANTIS_EVENT_REJECTED;
      event.reject_reason = VELANTIS_REJECT_CHECKSUM;
      return;
    case Verdict::UnknownType:
      event.type = VELANTIS_EVENT_REJECTED;
      event.reject_reason = VELANTIS_REJECT_TYPE;
      return;
    case Verdict::Packet:
      break;
  }
  switch (header.messageType) {
    case MessageType::Welcome:
      event.type = VELANTIS_EVENT_WELCOME;
      return;
    case MessageType::Connect:
      event.type = VELANTIS_EVENT_PLAYER_JOINED;
      return;
    default:
      event.type = VELANTIS_EVENT_POSITION_UPDATE;
      return;
  }
}

void BuildPacket(Packet& packet, std::uint64_t clientID, MessageType type, const char* text,
                 Vec2 position, std::uint32_t entityID, std::uint32_t messageNumber,
                 const Extension* extension, std::uint32_t capability) {
  packet.Reset();
  packet.Init(clientID, type, text, entityID);
  packet.Body().position = position;
  packet.Body().playerUUID = clientID;
  std::memcpy(packet.Body().gap, &capability, sizeof(capability));
  if (extension != nullptr) WriteExtension(packet, *extension);
  packet.Seal(clientID, messageNumber);
}

bool GrantsSnapshots(const Packet& welcome) {
  std::uint32_t value = 0;
  std::memcpy(&value, welcome.Body().gap, sizeof(value));
  return value == Snapshot::kCapability;
}

namespace {

template <typename T>
T Get(const std::byte* at) {
  T value{};
  std::memcpy(&value, at, sizeof(value));
  return value;
}

}  // namespace

bool LooksLikeSnapshot(const std::byte* data, long size) {
  return size >= static_cast<long>(Snapshot::kHeaderSize) &&
         size < static_cast<long>(Packet::kSize) &&
         Get<std::uint8_t>(data + offsetof(PacketHeader, messageType) + 8) == Snapshot::kType;
}

bool DecodeSnapshot(const std::byte* data, long size, Snapshot& snapshot) {
  const std::size_t count = Get<std::uint16_t>(data + 36);
  if (size < 0 || static_cast<std::size_t>(size) > Packet::kSize ||
      static_cast<std::size_t>(size) != Snapshot::kHeaderSize + count * Snapshot::kEntrySize) {
    return false;
  }
  std::byte unsealed[Packet::kSize];
  std::memcpy(unsealed, data, static_cast<std::size_t>(size));
  std::memset(unsealed + 8, 0, 8);
  if (Packet::ComputeChecksum(unsealed, static_cast<std::int32_t>(size)) !=
      Get<std::uint64_t>(data + 8)) {
    return false;
  }
  snapshot.messageNumber = Get<std::uint32_t>(data + 28);
  const std::byte* ack = data + Snapshot::kEntriesAt + count * Snapshot::kEntrySize;
  snapshot.ack = Get<std::uint32_t>(ack);
  snapshot.ackBits = Get<std::uint32_t>(ack + 4);
  snapshot.count = count;
  snapshot.entries = data + Snapshot::kEntriesAt;
  return true;
}

Snapshot::Entry Snapshot::At(std::size_t k) const {
  const std::byte* entry = entries + k * kEntrySize;
  return {Get<std::uint64_t>(entry), Get<std::uint32_t>(entry + 8), Get<float>(entry + 12),
          Get<float>(entry + 16)};
}

namespace {

constexpr char kMagic[4] = {'V', 'L', 'X', '1'};
constexpr std::size_t kFixedAt = Packet::kMessageCapacity - Extension::kFixedSize;

}  // namespace

bool WriteExtension(Packet& packet, const Extension& extension) {
  char* field = packet.Body().message;
  const std::size_t textEnd = packet.MessageText().size() + 1;
  if (textEnd > kFixedAt) return false;
  std::size_t nameLength = std::min(extension.nameLength, Extension::kMaxName);
  if (textEnd + nameLength > kFixedAt) nameLength = 0;
  std::memcpy(field + kFixedAt - nameLength, extension.name, nameLength);
  char* fixed = field + kFixedAt;
  std::memcpy(fixed, kMagic, 4);
  fixed[4] = static_cast<char>(extension.kind);
  fixed[5] = static_cast<char>(nameLength);
  fixed[6] = 0;
  fixed[7] = 0;
  std::memcpy(fixed + 8, &extension.session, 4);
  std::memcpy(fixed + 12, &extension.textSequence, 4);
  std::memcpy(fixed + 16, &extension.nonce, 8);
  return true;
}

bool ReadExtension(const Packet& packet, Extension& extension) {
  const char* field = packet.Body().message;
  const char* fixed = field + kFixedAt;
  if (std::memcmp(fixed, kMagic, 4) != 0) return false;
  const auto kind = static_cast<std::uint8_t>(fixed[4]);
  const auto nameLength = static_cast<std::uint8_t>(fixed[5]);
  if (kind > static_cast<std::uint8_t>(Extension::Kind::Goodbye) ||
      nameLength > Extension::kMaxName || packet.MessageText().size() + 1 + nameLength > kFixedAt) {
    return false;
  }
  extension.kind = static_cast<Extension::Kind>(kind);
  extension.nameLength = nameLength;
  extension.name = field + kFixedAt - nameLength;
  std::memcpy(&extension.session, fixed + 8, 4);
  std::memcpy(&extension.textSequence, fixed + 12, 4);
  std::memcpy(&extension.nonce, fixed + 16, 8);
  return true;
}

}  // namespace Velantis
