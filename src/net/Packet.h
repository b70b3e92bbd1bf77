#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "utils/Vec2.h"

enum class MessageType : std::uint8_t {
  Connect = 1,
  Welcome = 2,
  Disconnect = 3,
  PlayerPositionUpdate = 5,
};

// The gaps are spelled out as fields so that no byte of the record is compiler padding: every
// byte is sent, received and covered by the checksum exactly as it lies in memory.
struct PacketHeader {
  std::uint64_t checksum;
  std::uint64_t clientID;
  MessageType messageType;
  std::uint8_t gap[3];
  std::uint32_t messageNumber;
};

struct PacketBody {
  Vec2 position;
  char message[1000];
  std::uint64_t playerUUID;
  std::uint32_t entityID;
  std::uint8_t gap[4];
};

// The 1056-byte message record, which is also the wire format (little-endian, no conversion).
class Packet {
 public:
  static constexpr std::size_t kSize = 1056;
  static constexpr std::size_t kMessageCapacity = sizeof(PacketBody::message);

  Packet() { Reset(); }
  Packet(const Packet&) = default;
  Packet& operator=(const Packet&) = default;
  ~Packet() { Reset(); }

  // Fills a reset packet; false (and no change) when it was already initialised. A text of 1000
  // characters or more is cut to 999 so that the terminator fits.
  bool Init(std::uint64_t clientID, MessageType messageType, const char* text,
            std::uint32_t entityID);
  void Reset();

  PacketHeader& Header() { return header; }
  PacketBody& Body() { return body; }
  const PacketHeader& Header() const { return header; }
  const PacketBody& Body() const { return body; }
  bool IsInitialized() const { return initialized != 0; }

  // The packet's 1056 bytes, for sending and for the checksum.
  const std::byte* Bytes() const { return reinterpret_cast<const std::byte*>(this); }
  // Replaces all 1056 bytes with those of a datagram.
  void LoadBytes(const std::byte* data);

  // Sets the checksum field to 0 and stores the checksum of the whole packet in it.
  void Seal();
  // Stamps the sender's id and its message number, then seals: the last step of every packet
  // sent on its own.
  void Seal(std::uint64_t clientID, std::uint32_t messageNumber);
  // Remembers the checksum field, sets it to 0, and tells whether the packet's checksum matches.
  bool Verify(std::uint64_t& receivedChecksum);

  // The text up to its terminator, never beyond the 1000-byte field.
  std::string_view MessageText() const;

  static std::uint64_t ComputeChecksum(const void* data, std::int32_t length);
  // The checksum of each packet's 1056 bytes as they lie now, into checksums[i]: the same values
  // as ComputeChecksum, several packets at a time (see Packet.cpp).
  static void ComputeChecksums(const Packet* const* packets, std::size_t count,
                               std::uint64_t* checksums);

 private:
  friend struct PacketLayout;

  std::uint8_t initialized;
  std::uint8_t gap[7];
  PacketHeader header;
  PacketBody body;
};

struct PacketLayout {
  static_assert(sizeof(PacketHeader) == 24);
  static_assert(sizeof(PacketBody) == 1024);
  static_assert(sizeof(Packet) == Packet::kSize);
  static_assert(offsetof(Packet, initialized) == 0);
  static_assert(offsetof(Packet, header) == 8);
  static_assert(offsetof(Packet, body) == 32);
  static_assert(offsetof(PacketHeader, checksum) == 0);
  static_assert(offsetof(PacketHeader, clientID) == 8);
  static_assert(offsetof(PacketHeader, messageType) == 16);
  static_assert(offsetof(PacketHeader, messageNumber) == 20);
  static_assert(offsetof(PacketBody, position) == 0);
  static_assert(offsetof(PacketBody, message) == 8);
  static_assert(offsetof(PacketBody, playerUUID) == 1008);
  static_assert(offsetof(PacketBody, entityID) == 1016);
};
