#pragma once

#include <cstdint>

// Every allocation the benchmark program has made so far: Allocations.cpp replaces the global
// operator new with one that counts, so that a benchmark can tell how many one packet costs.
std::uint64_t Allocations();
