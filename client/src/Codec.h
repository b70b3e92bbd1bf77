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

// A snapshot datagram, which only a client granted snapshots is sent: the packet's first 32 bytes
// (type 6, the checksum over the datagram's own length), then tick (u32), entry count (u16), part
// and parts (u8 each), the entries of player id (u64), entity id (u32), x and y (f32 each), and
// last ack and ack bits (u32 each).
struct Snapshot {
  static constexpr std::uint8_t kType = 6;
  static constexpr std::size_t kEntriesAt = 40;
  // The smallest: no entry, only the acknowledgement.
  static constexpr std::size_t kHeaderSize = kEntriesAt + 8;
  static constexpr std::size_t kEntrySize = 20;
  // The four bytes at the end of the Connect that asks for snapshots and of the Welcome that
  // grants them, "SNP1".
  static constexpr std::uint32_t kCapability = 0x31504e53;

  std::uint32_t messageNumber = 0;
  // The newest own update the server had received, and a bit for each of the 32 before it.
  std::uint32_t ack = 0;
  std::uint32_t ackBits = 0;
  std::size_t count = 0;
  const std::byte* entries = nullptr;

  struct Entry {
    std::uint64_t playerID = 0;
    std::uint32_t entityID = 0;
    float x = 0;
    float y = 0;
  };
  Entry At(std::size_t k) const;
};

// Whether the datagram says it is a snapshot (by its length and type); such a one is no packet.
bool LooksLikeSnapshot(const std::byte* data, long size);
// Reads a datagram LooksLikeSnapshot accepted; false when its length or checksum is wrong.
bool DecodeSnapshot(const std::byte* data, long size, Snapshot& snapshot);

struct Extension;

// Builds and seals a packet as a client sends it: the player's id as sender and subject, with the
// extension behind the text when one is given.
// `capability` goes into the last four bytes (a Connect's ask for snapshots).
void BuildPacket(Packet& packet, std::uint64_t clientID, MessageType type, const char* text,
                 Vec2 position, std::uint32_t entityID, std::uint32_t messageNumber,
                 const Extension* extension = nullptr, std::uint32_t capability = 0);
// Whether a Welcome grants snapshots.
bool GrantsSnapshots(const Packet& welcome);

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
