#include <array>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

std::uint64_t Fnv(const std::string& text) {
  return Packet::ComputeChecksum(text.data(), static_cast<std::int32_t>(text.size()));
}

TEST(ChecksumTest, MatchesPublishedFnv1a64Vectors) {
  EXPECT_EQ(Fnv("a"), 0xaf63dc4c8601ec8cULL);
  EXPECT_EQ(Fnv("b"), 0xaf63df4c8601f1a5ULL);
  EXPECT_EQ(Fnv("foo"), 0xdcb27518fed9d577ULL);
  EXPECT_EQ(Fnv("fooba"), 0xcac165afa2fef40aULL);
  EXPECT_EQ(Fnv("foobar"), 0x85944171f73967e8ULL);
}

TEST(ChecksumTest, EmptyInputsGiveZeroAndNegativeLengthGivesOffsetBasis) {
  const char byte = 'a';
  EXPECT_EQ(Packet::ComputeChecksum(&byte, 0), 0u);
  EXPECT_EQ(Packet::ComputeChecksum(nullptr, 5), 0u);
  EXPECT_EQ(Packet::ComputeChecksum(&byte, -3), 0xcbf29ce484222325ULL);
}

// The interleaved pass (the relay's and the client's) against one ComputeChecksum per packet, on
// packets of random bytes: every count from one packet to past two groups of the widest lanes, so
// that full groups, a short last group and the lane width chosen at run time are all compared.
// Cross builds run this on their own processor's path (the arm64 build under qemu-user).
TEST(ChecksumTest, InterleavedChecksumsMatchOneAtATimeOnRandomPackets) {
  std::mt19937_64 random(20261207);
  for (std::size_t count = 1; count <= 40; ++count) {
    std::vector<Packet> packets(count);
    std::vector<const Packet*> pointers;
    for (Packet& packet : packets) {
      std::array<std::byte, Packet::kSize> bytes{};
      for (std::byte& byte : bytes) byte = static_cast<std::byte>(random() >> 56);
      packet.LoadBytes(bytes.data());
      pointers.push_back(&packet);
    }
    std::vector<std::uint64_t> checksums(count);
    Packet::ComputeChecksums(pointers.data(), count, checksums.data());
    for (std::size_t i = 0; i < count; ++i) {
      ASSERT_EQ(checksums[i], Packet::ComputeChecksum(packets[i].Bytes(), Packet::kSize))
          << "packet " << i << " of " << count;
    }
  }
}

TEST(PacketTest, FreshPacketIsAllZero) {
  const Packet packet;
  EXPECT_FALSE(packet.IsInitialized());
  for (std::size_t i = 0; i < Packet::kSize; ++i) {
    ASSERT_EQ(packet.Bytes()[i], std::byte{0}) << "byte " << i;
  }
}

TEST(PacketTest, FieldsLieAtTheirWireOffsets) {
  Packet packet;
  packet.Init(0x0102030405060708ULL, MessageType::PlayerPositionUpdate, "hi", 0xA1B2C3D4u);
  packet.Header().messageNumber = 0x11223344u;
  packet.Body().position = Vec2(1.5f, -2.0f);
  packet.Body().playerUUID = 0x8877665544332211ULL;

  const std::byte* bytes = packet.Bytes();
  auto at = [&](std::size_t offset) { return std::to_integer<unsigned>(bytes[offset]); };
  EXPECT_EQ(at(0), 1u);
  EXPECT_EQ(at(16), 0x08u);  // clientID, little-endian
  EXPECT_EQ(at(23), 0x01u);
  EXPECT_EQ(at(24), 5u);     // messageType
  EXPECT_EQ(at(28), 0x44u);  // messageNumber
  EXPECT_EQ(at(31), 0x11u);
  float x = 0;
  std::memcpy(&x, bytes + 32, sizeof(x));
  EXPECT_EQ(x, 1.5f);
  EXPECT_EQ(std::memcmp(bytes + 40, "hi", 3), 0);
  EXPECT_EQ(at(1040), 0x11u);  // playerUUID
  EXPECT_EQ(at(1048), 0xD4u);  // entityID
  EXPECT_EQ(at(1051), 0xA1u);
}

TEST(PacketTest, InitOnlyOnceUntilReset) {
  Packet packet;
  ASSERT_TRUE(packet.Init(7, MessageType::Connect, "first", 3));
  EXPECT_FALSE(packet.Init(8, MessageType::Welcome, "second", 4));
  EXPECT_EQ(packet.Header().clientID, 7u);
  EXPECT_EQ(packet.MessageText(), "first");
  EXPECT_EQ(packet.Body().entityID, 3u);

  packet.Reset();
  EXPECT_FALSE(packet.IsInitialized());
  EXPECT_EQ(packet.Header().clientID, 0u);
  ASSERT_TRUE(packet.Init(8, MessageType::Welcome, "second", 4));
  EXPECT_EQ(packet.MessageText(), "second");
  EXPECT_EQ(packet.Header().messageNumber, 0u);
  EXPECT_EQ(packet.Body().playerUUID, 0u);
}

TEST(PacketTest, InitCutsLongTextTo999CharactersAndTerminator) {
  for (const std::size_t length : {999u, 1000u, 5000u}) {
    const std::string text(length, 'x');
    Packet packet;
    packet.Init(1, MessageType::Connect, text.c_str(), 0);
    EXPECT_EQ(packet.MessageText().size(), 999u) << length;
    EXPECT_EQ(packet.Body().message[999], '\0');
    EXPECT_EQ(packet.Body().playerUUID, 0u) << "text overran the field";
  }
}

TEST(PacketTest, UnterminatedTextIsReadUpToTheFieldEnd) {
  Packet packet;
  std::memset(packet.Body().message, 'y', sizeof(packet.Body().message));
  packet.Body().playerUUID = 0x4141414141414141ULL;  // "AAAAAAAA" right after the field
  EXPECT_EQ(packet.MessageText(), std::string(1000, 'y'));
}

TEST(SealTest, SealedPacketVerifiesAndKeepsChecksumFieldZeroAfterwards) {
  Packet packet = TestSupport::MakePacket(42, MessageType::Connect, "hello");
  const std::uint64_t sealed = packet.Header().checksum;
  Packet zeroed = packet;
  zeroed.Header().checksum = 0;
  EXPECT_EQ(sealed, Packet::ComputeChecksum(zeroed.Bytes(), Packet::kSize));

  std::uint64_t received = 0;
  EXPECT_TRUE(packet.Verify(received));
  EXPECT_EQ(received, sealed);
  EXPECT_EQ(packet.Header().checksum, 0u);
}

TEST(SealTest, AnySingleChangedByteFailsVerification) {
  const Packet sealed = TestSupport::MakePacket(42, MessageType::PlayerPositionUpdate, "move");
  // Every byte, gaps and the text's unused tail included, is covered.
  for (std::size_t offset = 0; offset < Packet::kSize; ++offset) {
    std::byte wire[Packet::kSize];
    std::memcpy(wire, sealed.Bytes(), Packet::kSize);
    wire[offset] ^= std::byte{0x01};
    Packet received;
    received.LoadBytes(wire);
    std::uint64_t checksum = 0;
    ASSERT_FALSE(received.Verify(checksum)) << "offset " << offset;
  }
}

TEST(SealTest, GapBytesThatArriveUnchangedStillVerify) {
  std::byte wire[Packet::kSize];
  std::memcpy(wire, TestSupport::MakePacket(1, MessageType::Connect).Bytes(), Packet::kSize);
  for (const std::size_t offset : {1u, 7u, 25u, 27u, 1052u, 1055u}) wire[offset] = std::byte{0x5A};
  Packet packet;
  packet.LoadBytes(wire);
  packet.Seal();
  std::memcpy(wire, packet.Bytes(), Packet::kSize);

  Packet received;
  received.LoadBytes(wire);
  std::uint64_t checksum = 0;
  EXPECT_TRUE(received.Verify(checksum));
  EXPECT_EQ(std::to_integer<int>(received.Bytes()[25]), 0x5A);
}

}  // namespace
