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

struct Extension;

// Builds and seals a packet as a client sends it: the player's id as sender and subject, with the
// extension behind the text when one is given.
void BuildPacket(Packet& packet, std::uint64_t clientID, MessageType type, const char* text,
                 Vec2 position, std::uint32_t entityID, std::uint32_t messageNumber,
                 const Extension* extension = nullptr);

// What 1.3 clients add to an update, in the last bytes of its 1000-byte message field, behind the
// text's terminator: the server relays the whole field, and a client that reads only the text up
// to its terminator never sees it. Little-endian, at the field's end:
//   name (nameLength bytes, no terminator), then 24 bytes: magic "VLX1", kind, nameLength,
//   2 zero bytes, session (u32), textSequence (u32), nonce (u64).
// It is there only when the text ends before it; a longer text goes without one.
struct Extension {
  enum class Kind : std::uint8_t { Position = 0, KeepAlive = 1, Text = 2, Goodbye = 3 };
  static constexpr std::size_t kFixedSize = 24;
  static constexpr std::size_t kMaxName = 100;

  Kind kind = Kind::Position;
  // Drawn once per handle: a new one tells receivers that text sequences start again.
  std::uint32_t session = 0;
  // The chat line's number in its sender's order (kind Text); 0 otherwise.
  std::uint32_t textSequence = 0;
  // Drawn for every update, so the sender knows its own copies when they come back.
  std::uint64_t nonce = 0;
  const char* name = "";
  std::size_t nameLength = 0;
};

// Writes the extension behind the packet's text; the name is left out when it does not fit, the
// whole extension when even its fixed part does not. Call before sealing.
bool WriteExtension(Packet& packet, const Extension& extension);
// Reads it back; false when the packet carries none. name points into the packet.
bool ReadExtension(const Packet& packet, Extension& extension);

}  // namespace Velantis
