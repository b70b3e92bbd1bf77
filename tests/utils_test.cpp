#include <array>
#include <cmath>
#include <cstdlib>
#include <string>

#include "support/TestSupport.h"
#include "utils/MiscUtils.h"
#include "utils/SipHash.h"

namespace {

TEST(LerpTest, ClampsTheFactor) {
  EXPECT_FLOAT_EQ(MiscUtils::Lerp(2, 4, 0.5f), 3);
  EXPECT_FLOAT_EQ(MiscUtils::Lerp(2, 4, -1), 2);
  EXPECT_FLOAT_EQ(MiscUtils::Lerp(2, 4, 7), 4);
  EXPECT_TRUE(std::isnan(MiscUtils::Lerp(2, 4, std::nanf(""))));
}

TEST(LerpTest, ClampsEachVectorComponentOnItsOwn) {
  const Vec2 result = MiscUtils::Lerp(Vec2(0, 0), Vec2(10, 10), Vec2(-1, 2));
  EXPECT_FLOAT_EQ(result.x, 0);
  EXPECT_FLOAT_EQ(result.y, 10);
  const Vec2 half = MiscUtils::Lerp(Vec2(0, 2), Vec2(10, 4), Vec2(0.5f, 0.25f));
  EXPECT_FLOAT_EQ(half.x, 5);
  EXPECT_FLOAT_EQ(half.y, 2.5f);
}

TEST(EaseLerpTest, FollowsTheHalfCosineCurve) {
  EXPECT_DOUBLE_EQ(MiscUtils::EaseLerp(0, 10, 0), 0);
  EXPECT_DOUBLE_EQ(MiscUtils::EaseLerp(0, 10, -3), 0);
  EXPECT_NEAR(MiscUtils::EaseLerp(0, 10, 0.25f), 1.4644661, 1e-5);
  EXPECT_DOUBLE_EQ(MiscUtils::EaseLerp(0, 10, 0.5f), 5);
  EXPECT_NEAR(MiscUtils::EaseLerp(0, 10, 0.75f), 8.535534, 1e-5);
  EXPECT_DOUBLE_EQ(MiscUtils::EaseLerp(0, 10, 1), 10);
  EXPECT_DOUBLE_EQ(MiscUtils::EaseLerp(0, 10, 9), 10);
}

TEST(DegToRadTest, UsesDoublePrecision) {
  EXPECT_DOUBLE_EQ(MiscUtils::DegToRad(180), 3.141592653589793);
  EXPECT_DOUBLE_EQ(MiscUtils::DegToRad(270), 4.71238898038469);
}

TEST(RandomIdTest, DrawsVaryingValuesFromOneSequence) {
  const std::uint64_t first = MiscUtils::GenerateRandomId();
  const std::uint64_t second = MiscUtils::GenerateRandomId();
  const std::uint64_t third = MiscUtils::GenerateRandomId();
  EXPECT_FALSE(first == second && second == third);
}

// The reference implementation's vectors: key 00 01 .. 0f, messages 00 01 .. of each length,
// every tail length of the last word among them.
TEST(SipHashTest, MatchesTheReferenceVectors) {
  const std::array<std::uint64_t, 2> key{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};
  std::array<unsigned char, 64> message{};
  for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<unsigned char>(i);
  EXPECT_EQ(SipHash24(key, message.data(), 0), 0x726fdb47dd0e0e31ULL);
  EXPECT_EQ(SipHash24(key, message.data(), 1), 0x74f839c593dc67fdULL);
  EXPECT_EQ(SipHash24(key, message.data(), 15), 0xa129ca6149be45e5ULL);
  EXPECT_EQ(SipHash24(key, message.data(), 63), 0x958a324ceb064572ULL);
}

TEST(ServerDataFolderTest, IsTheServerFolderBetweenSeparators) {
  const char s = Platform::kPathSeparator;
  EXPECT_EQ(MiscUtils::ServerDataFolder,
            std::string(1, s) + "OrlinStudio" + s + "Velantis" + s + "Server" + s);
}

class AppDataPathTest : public testing::Test {
 protected:
  void SetUp() override {
    if (Platform::kPathSeparator == '\\') GTEST_SKIP() << "the POSIX data-folder lookup";
    for (const char* name : {"XDG_DATA_HOME", "HOME"}) {
      const char* value = std::getenv(name);
      saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
  }
  void TearDown() override {
    for (const auto& [name, value] : saved_) {
      Platform::SetEnvironment(name, value ? value->c_str() : nullptr);
    }
  }
  std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
};

TEST_F(AppDataPathTest, PrefersAnAbsoluteXdgDataHome) {
  Platform::SetEnvironment("XDG_DATA_HOME", "/srv/data");
  Platform::SetEnvironment("HOME", "/home/player");
  EXPECT_EQ(MiscUtils::GetLocalAppDataPath(), "/srv/data");
  Platform::SetEnvironment("XDG_DATA_HOME", "relative/data");
  EXPECT_EQ(MiscUtils::GetLocalAppDataPath(), "/home/player/.local/share");
}

TEST_F(AppDataPathTest, ReportsNullWhenNoFolderIsKnown) {
  Platform::SetEnvironment("XDG_DATA_HOME", nullptr);
  Platform::SetEnvironment("HOME", nullptr);
  testing::internal::CaptureStderr();
  EXPECT_EQ(MiscUtils::GetLocalAppDataPath(), "null");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "MiscUtils(): Cannot find local AppData folder.\n");
}

}  // namespace
