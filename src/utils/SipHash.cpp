#include "utils/SipHash.h"

namespace {

constexpr std::uint64_t Rotate(std::uint64_t value, int bits) {
  return (value << bits) | (value >> (64 - bits));
}

struct State {
  std::uint64_t v0, v1, v2, v3;

  void Round() {
    v0 += v1;
    v1 = Rotate(v1, 13);
    v1 ^= v0;
    v0 = Rotate(v0, 32);
    v2 += v3;
    v3 = Rotate(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = Rotate(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = Rotate(v1, 17);
    v1 ^= v2;
    v2 = Rotate(v2, 32);
  }

  void Absorb(std::uint64_t word) {
    v3 ^= word;
    Round();
    Round();
    v0 ^= word;
  }
};

std::uint64_t LittleEndianWord(const unsigned char* bytes, std::size_t count) {
  std::uint64_t word = 0;
  for (std::size_t i = 0; i < count; ++i) word |= std::uint64_t{bytes[i]} << (8 * i);
  return word;
}

}  // namespace

std::uint64_t SipHash24(const std::array<std::uint64_t, 2>& key, const void* data,
                        std::size_t size) {
  State state{key[0] ^ 0x736f6d6570736575ULL, key[1] ^ 0x646f72616e646f6dULL,
              key[0] ^ 0x6c7967656e657261ULL, key[1] ^ 0x7465646279746573ULL};
  const auto* bytes = static_cast<const unsigned char*>(data);
  const std::size_t whole = size - size % 8;
  for (std::size_t offset = 0; offset < whole; offset += 8) {
    state.Absorb(LittleEndianWord(bytes + offset, 8));
  }
  // The last word holds the remaining bytes and, in its top byte, the length.
  state.Absorb(LittleEndianWord(bytes + whole, size % 8) | (std::uint64_t{size & 0xff} << 56));
  state.v2 ^= 0xff;
  for (int i = 0; i < 4; ++i) state.Round();
  return state.v0 ^ state.v1 ^ state.v2 ^ state.v3;
}
