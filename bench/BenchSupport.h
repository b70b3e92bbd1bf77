#pragma once

#include <cstddef>
#include <cstdint>

// What the benchmark programs share.

// Every allocation the benchmark program has made so far: BenchSupport.cpp replaces the global
// operator new with one that counts, so that a benchmark can tell how many one packet costs.
std::uint64_t Allocations();

// The plain FNV-1a 64 loop over the bytes, one byte after the other: the floor of a checksum.
std::uint64_t ReferenceFnv1a(const unsigned char* bytes, std::size_t length);
