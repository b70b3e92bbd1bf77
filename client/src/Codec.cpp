#include "Codec.h"

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
                 Vec2 position, std::uint32_t entityID, std::uint32_t messageNumber) {
  packet.Reset();
  packet.Init(clientID, type, text, entityID);
  packet.Body().position = position;
  packet.Body().playerUUID = clientID;
  packet.Seal(clientID, messageNumber);
}

}  // namespace Velantis
