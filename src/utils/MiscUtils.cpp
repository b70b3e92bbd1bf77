#include "utils/MiscUtils.h"

#include <cmath>
#include <random>

#include "utils/Console.h"

namespace MiscUtils {
namespace {

float ClampUnit(float t) {
  if (t < 0.0f) return 0.0f;
  if (t > 1.0f) return 1.0f;
  return t;
}

}  // namespace

std::string GetLocalAppDataPath() {
  std::optional<std::string> folder = Platform::LocalAppDataFolder();
  if (!folder) {
    Console::Err("MiscUtils(): Cannot find local AppData folder.");
    return "null";
  }
  return std::move(*folder);
}

std::uint64_t GenerateRandomId() {
  static std::random_device source;
  static std::mt19937_64 engine(source());
  static std::uniform_int_distribution<std::uint64_t> distribution(
      0, std::numeric_limits<std::uint64_t>::max());
  return distribution(engine);
}

std::array<std::uint64_t, 2> GenerateSecret() {
  std::random_device source;
  std::array<std::uint64_t, 2> secret{};
  for (std::uint64_t& half : secret) {
    for (int i = 0; i < 2; ++i) half = (half << 32) | static_cast<std::uint32_t>(source());
  }
  return secret;
}

double DegToRad(float degrees) { return static_cast<double>(degrees) * 0.017453292519943295; }

float Lerp(float a, float b, float t) { return a + (b - a) * ClampUnit(t); }

Vec2 Lerp(const Vec2& a, const Vec2& b, const Vec2& t) {
  const Vec2 clampedTime(ClampUnit(t.x), ClampUnit(t.y));
  return a + (b - a) * clampedTime;
}

double EaseLerp(float a, float b, float t) {
  const double pi = 3.141592653589793;
  const double wave = std::sin(static_cast<double>(ClampUnit(t)) * pi + DegToRad(270.0f));
  const float eased = (static_cast<float>(wave) + 1.0f) * 0.5f;
  return static_cast<double>(a + (b - a) * eased);
}

}  // namespace MiscUtils
