#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "utils/Vec2.h"

namespace MiscUtils {

// The server's folder below the local application-data folder, with a separator on each side.
inline const std::string ServerDataFolder =
    std::string(1, Platform::kPathSeparator) + "OrlinStudio" + Platform::kPathSeparator +
    "Velantis" + Platform::kPathSeparator + "Server" + Platform::kPathSeparator;

// The current user's local application-data folder as UTF-8, without a trailing separator, or
// "null" (after one line on standard error) when the platform cannot say.
std::string GetLocalAppDataPath();

// The next value of the process-wide random source, seeded once from the system's entropy.
std::uint64_t GenerateRandomId();

// 128 bits straight from the system's entropy, for a key nobody outside the process may guess.
std::array<std::uint64_t, 2> GenerateSecret();

double DegToRad(float degrees);

// Interpolation with t clamped to [0, 1]; a NaN t passes through unchanged.
float Lerp(float a, float b, float t);
Vec2 Lerp(const Vec2& a, const Vec2& b, const Vec2& t);

// Sinusoidal ease-in-out between a and b: (1 - cos(pi t)) / 2 of the way.
double EaseLerp(float a, float b, float t);

}  // namespace MiscUtils
