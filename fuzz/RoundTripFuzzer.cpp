// A packet built from arbitrary field values must come out of seal, wire copy, load and
// verification with every field as it went in, and no single changed byte may pass verification.
//
// Input: clientID (8 bytes), message type (1), entity id (4), position x and y (4 + 4),
// playerUUID (8), message number (4), the offset (2) and the mask (1) of the byte to damage, then
// the text.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "net/Packet.h"

namespace {

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  template <class T>
  T Take() {
    T value{};
    std::memcpy(&value, data_ + offset_, sizeof(T));
    offset_ += sizeof(T);
    return value;
  }
  std::string Rest() const {
    return std::string(reinterpret_cast<const char*>(data_ + offset_), size_ - offset_);
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t offset_ = 0;
};

constexpr std::size_t kFixedPart = 8 + 1 + 4 + 4 + 4 + 8 + 4 + 2 + 1;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kFixedPart) return 0;
  Reader reader(data, size);
  const auto clientID = reader.Take<std::uint64_t>();
  const auto messageType = static_cast<MessageType>(reader.Take<std::uint8_t>());
  const auto entityID = reader.Take<std::uint32_t>();
  const auto x = reader.Take<float>();
  const auto y = reader.Take<float>();
  const auto playerUUID = reader.Take<std::uint64_t>();
  const auto messageNumber = reader.Take<std::uint32_t>();
  const auto damagedOffset = reader.Take<std::uint16_t>() % Packet::kSize;
  const auto damageMask = std::max<std::uint8_t>(reader.Take<std::uint8_t>(), 1);
  const std::string text = reader.Rest();
  // Init takes a zero-terminated text and keeps at most 999 characters of it.
  const std::string_view expectedText =
      std::string_view(text.c_str()).substr(0, Packet::kMessageCapacity - 1);

  Packet sent;
  FUZZ_CHECK(sent.Init(clientID, messageType, text.c_str(), entityID));
  FUZZ_CHECK(!sent.Init(0, MessageType::Welcome, "second", 0));
  sent.Body().position = Vec2(x, y);
  sent.Body().playerUUID = playerUUID;
  sent.Header().messageNumber = messageNumber;
  sent.Seal();

  std::array<std::byte, Packet::kSize> wire{};
  std::memcpy(wire.data(), sent.Bytes(), wire.size());

  Packet received;
  received.LoadBytes(wire.data());
  std::uint64_t receivedChecksum = 0;
  FUZZ_CHECK(received.Verify(receivedChecksum));
  FUZZ_CHECK(receivedChecksum == sent.Header().checksum);
  FUZZ_CHECK(received.Header().checksum == 0);
  FUZZ_CHECK(received.IsInitialized());
  FUZZ_CHECK(received.Header().clientID == clientID);
  FUZZ_CHECK(received.Header().messageType == messageType);
  FUZZ_CHECK(received.Header().messageNumber == messageNumber);
  FUZZ_CHECK(received.Body().entityID == entityID);
  FUZZ_CHECK(received.Body().playerUUID == playerUUID);
  // Compared bit for bit: a NaN position must travel unchanged too.
  FUZZ_CHECK(std::memcmp(&received.Body().position.x, &x, sizeof(x)) == 0);
  FUZZ_CHECK(std::memcmp(&received.Body().position.y, &y, sizeof(y)) == 0);
  FUZZ_CHECK(received.MessageText() == expectedText);
  // Apart from the checksum field, which verification leaves at 0, the loaded bytes are the wire's.
  FUZZ_CHECK(std::memcmp(received.Bytes(), wire.data(), 8) == 0);
  FUZZ_CHECK(std::memcmp(received.Bytes() + 16, wire.data() + 16, Packet::kSize - 16) == 0);

  wire[damagedOffset] ^= std::byte{damageMask};
  Packet damaged;
  damaged.LoadBytes(wire.data());
  std::uint64_t damagedChecksum = 0;
  FUZZ_CHECK(!damaged.Verify(damagedChecksum));
  return 0;
}
