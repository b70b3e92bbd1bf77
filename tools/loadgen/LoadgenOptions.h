#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/ToolSupport.h"

namespace Loadgen {

inline constexpr std::uint64_t kMaxPlayers = 1024;
inline constexpr double kMaxRate = 1000.0;

struct Options {
  std::uint64_t players = 16;
  double rate = 30.0;
  std::optional<double> duration;
  double drain = 3.0;
  std::uint64_t firstID = 1'000'000;
  bool findCapacity = false;
  std::string vary = "players";  // or "rate"
  std::optional<double> start;
  std::optional<double> step;
  double maxTime = 600.0;
  std::string server = "127.0.0.1";
  std::uint16_t port = Tools::kDefaultServerPort;
  std::optional<long> serverPid;
  bool json = false;
  bool snapshots = false;
  bool mixed = false;
  bool progress = true;

  bool VaryRate() const { return vary == "rate"; }
};

// An exit code when the program is to stop here: after --help, or on a usage error.
std::optional<int> ParseOptions(int argc, char** argv, Options& options);

}  // namespace Loadgen
