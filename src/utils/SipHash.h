#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// SipHash-2-4 (Aumasson and Bernstein): a keyed hash of a short message, fast enough for every
// datagram, that nobody without the 128-bit key can predict or invert. The key's two halves are
// its first and last eight bytes read little-endian, as in the reference implementation.
std::uint64_t SipHash24(const std::array<std::uint64_t, 2>& key, const void* data,
                        std::size_t size);
