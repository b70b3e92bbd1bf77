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

namespace {

constexpr std::uint64_t kOffsetBasis = 0xcbf29ce484222325ULL;
constexpr std::uint64_t kPrime = 0x100000001b3ULL;

}  // namespace

std::uint64_t Packet::ComputeChecksum(const void* data, std::int32_t length) {
  if (data == nullptr || length == 0) return 0;
  std::uint64_t hash = kOffsetBasis;
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (std::int32_t i = 0; i < length; ++i) {
    hash ^= bytes[i];
    hash *= kPrime;
  }
  return hash;
}

// Each byte of FNV-1a waits for the multiply of the byte before it, so one pass leaves the
// processor's multiplier idle most of the time. Four passes over four packets, byte by byte side
// by side, are four independent chains that keep it busy: four checksums cost little more than
// one. A last group of fewer than four repeats its first packet in the empty lanes.
void Packet::ComputeChecksums(const Packet* const* packets, std::size_t count,
                              std::uint64_t* checksums) {
  constexpr std::size_t kLanes = 4;
  for (std::size_t first = 0; first < count; first += kLanes) {
    const std::size_t lanes = count - first < kLanes ? count - first : kLanes;
    const unsigned char* bytes[kLanes];
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
      const Packet* packet = packets[first + (lane < lanes ? lane : 0)];
      bytes[lane] = reinterpret_cast<const unsigned char*>(packet->Bytes());
    }
    std::uint64_t hash0 = kOffsetBasis, hash1 = kOffsetBasis, hash2 = kOffsetBasis,
                  hash3 = kOffsetBasis;
    for (std::size_t i = 0; i < kSize; ++i) {
      hash0 = (hash0 ^ bytes[0][i]) * kPrime;
      hash1 = (hash1 ^ bytes[1][i]) * kPrime;
      hash2 = (hash2 ^ bytes[2][i]) * kPrime;
      hash3 = (hash3 ^ bytes[3][i]) * kPrime;
    }
    const std::uint64_t hashes[kLanes] = {hash0, hash1, hash2, hash3};
    for (std::size_t lane = 0; lane < lanes; ++lane) checksums[first + lane] = hashes[lane];
  }
}
