#pragma once

#include <cstddef>
#include <cstdint>

#include "net/Packet.h"
#include "velantis/client.h"

namespace Velantis {

// What a client makes of one received datagram: the checks in the order the server makes them
// (length, then checksum, then type).
enum class Verdict { Packet, WrongSize, BadChecksum, UnknownType };

// Loads the datagram into `packet` (when it is whole) and judges it. The packet keeps the checksum
// it arrived with.
Verdict DecodeDatagram(const std::byte* data, long size, Packet& packet);

using TextBuffer = char[Packet::kMessageCapacity + 1];

// Fills `event` from a judged datagram; its text is copied, terminated, into `text`.
void ToEvent(Verdict verdict, const Packet& packet, long size, velantis_event& event,
             TextBuffer& text);

// Builds and seals a packet as a client sends it: the player's id as sender and subject.
void BuildPacket(Packet& packet, std::uint64_t clientID, MessageType type, const char* text,
                 Vec2 position, std::uint32_t entityID, std::uint32_t messageNumber);

}  // namespace Velantis
