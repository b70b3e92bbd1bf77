#include "net/Packet.h"

#include <cstring>

// The interleaved checksums have a second, wider form for x86-64 processors with AVX-512, chosen
// at run time; other systems and compilers use the portable one only.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(_WIN32)
#define VELANTIS_WIDE_CHECKSUMS 1
#endif

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

void Packet::Seal(std::uint64_t clientID, std::uint32_t messageNumber) {
  header.clientID = clientID;
  header.messageNumber = messageNumber;
  Seal();
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

// Each byte of FNV-1a waits for the multiply of the byte before it, so one pass leaves the
// processor's multiplier idle most of the time. Four passes over four packets, byte by byte side
// by side, are four independent chains that keep it busy: four checksums cost about what one does.
constexpr std::size_t kLanes = 4;
constexpr std::size_t kMaxLanes = 16;

void Group(const unsigned char* const* bytes, std::uint64_t* hashes) {
  std::uint64_t hash0 = kOffsetBasis, hash1 = kOffsetBasis, hash2 = kOffsetBasis,
                hash3 = kOffsetBasis;
  for (std::size_t i = 0; i < Packet::kSize; ++i) {
    hash0 = (hash0 ^ bytes[0][i]) * kPrime;
    hash1 = (hash1 ^ bytes[1][i]) * kPrime;
    hash2 = (hash2 ^ bytes[2][i]) * kPrime;
    hash3 = (hash3 ^ bytes[3][i]) * kPrime;
  }
  hashes[0] = hash0;
  hashes[1] = hash1;
  hashes[2] = hash2;
  hashes[3] = hash3;
}

#if defined(VELANTIS_WIDE_CHECKSUMS)
// Sixteen chains in two vector registers of eight 64-bit lanes. Where a vector multiply of 64-bit
// lanes is one fast instruction (AMD processors with AVX-512) sixteen checksums then cost about
// what four do on the scalar multiplier; where it is three slow ones (Intel's) it would cost more,
// so only the former take this way.
constexpr std::size_t kWideLanes = 16;

using Lanes8 = std::uint64_t __attribute__((vector_size(64)));

__attribute__((target("avx512f,avx512dq"))) void WideGroup(const unsigned char* const* bytes,
                                                           std::uint64_t* hashes) {
  Lanes8 hashA = kOffsetBasis - Lanes8{};
  Lanes8 hashB = hashA;
  for (std::size_t i = 0; i < Packet::kSize; i += 8) {
    Lanes8 wordA, wordB;
    for (std::size_t lane = 0; lane < 8; ++lane) {
      std::uint64_t word = 0;
      std::memcpy(&word, bytes[lane] + i, sizeof(word));
      wordA[lane] = word;
      std::memcpy(&word, bytes[8 + lane] + i, sizeof(word));
      wordB[lane] = word;
    }
    // Little-endian words: byte i + k of each packet is bits 8k to 8k + 7 of its lane.
    for (int k = 0; k < 8; ++k) {
      hashA = (hashA ^ (wordA & 0xff)) * kPrime;
      hashB = (hashB ^ (wordB & 0xff)) * kPrime;
      wordA >>= 8;
      wordB >>= 8;
    }
  }
  std::memcpy(hashes, &hashA, sizeof(hashA));
  std::memcpy(hashes + 8, &hashB, sizeof(hashB));
}

bool UseWideGroups() {
  static const bool wide = __builtin_cpu_is("amd") && __builtin_cpu_supports("avx512dq");
  return wide;
}
#endif

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

// Packets are taken in groups of lanes; a last group with fewer packets than lanes repeats its
// first packet in the empty ones.
void Packet::ComputeChecksums(const Packet* const* packets, std::size_t count,
                              std::uint64_t* checksums) {
  std::size_t first = 0;
  while (first < count) {
    std::size_t width = kLanes;
    void (*group)(const unsigned char* const*, std::uint64_t*) = Group;
#if defined(VELANTIS_WIDE_CHECKSUMS)
    if (count - first > kLanes && UseWideGroups()) {
      width = kWideLanes;
      group = WideGroup;
    }
#endif
    const std::size_t used = count - first < width ? count - first : width;
    const unsigned char* bytes[kMaxLanes];
    std::uint64_t hashes[kMaxLanes];
    for (std::size_t lane = 0; lane < width; ++lane) {
      const Packet* packet = packets[first + (lane < used ? lane : 0)];
      bytes[lane] = reinterpret_cast<const unsigned char*>(packet->Bytes());
    }
    group(bytes, hashes);
    for (std::size_t lane = 0; lane < used; ++lane) checksums[first + lane] = hashes[lane];
    first += used;
  }
}
