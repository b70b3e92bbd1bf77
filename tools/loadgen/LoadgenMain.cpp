#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/ToolSupport.h"
#include "loadgen/LoadgenOptions.h"
#include "loadgen/LoadgenReport.h"
#include "loadgen/LoadgenRun.h"
#include "platform/platform.h"

namespace Loadgen {
namespace {

int ExitCode(Failure failure) {
  switch (failure) {
    case Failure::None:
      return Tools::kExitOk;
    case Failure::NoAnswer:
      return Tools::kExitFailed;
    case Failure::Socket:
      return Tools::kExitSocket;
  }
  return Tools::kExitFailed;
}

// A server that could not bind its port runs on, idle, while the load goes to whichever process
// holds the port: its CPU time would be reported as the cost of the load.
bool ServerPidServesPort(long pid, std::uint16_t port) {
  const std::string process = "velantis-loadgen: --server-pid " + std::to_string(pid);
  // Started a moment ago (`server & velantis-loadgen --server-pid $!`), it may not have bound yet.
  Tools::PortHolding holding = Tools::HoldsUdpPort(pid, port);
  for (int tries = 0; holding == Tools::PortHolding::DoesNotHold && tries < 50; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    holding = Tools::HoldsUdpPort(pid, port);
  }
  switch (holding) {
    case Tools::PortHolding::Holds:
    case Tools::PortHolding::NoProcFolder:  // reported as "no /proc here" with the figures
      return true;
    case Tools::PortHolding::DoesNotHold:
      std::cerr << process << " has not bound UDP port " << port << " within 5 s"
                << ": another program serves it, or that server could not bind it (stop the "
                   "service or other server first)"
                << std::endl;
      return false;
    case Tools::PortHolding::NoSuchProcess:
      std::cerr << process << ": no such process" << std::endl;
      return false;
    case Tools::PortHolding::FilesUnreadable:
      std::cerr << process << ": cannot see its open files to check that it holds UDP port " << port
                << " (run velantis-loadgen as that process's user or as root)" << std::endl;
      return false;
  }
  return false;
}

int RunOnce(const Options& options, const Platform::Ipv4Address& server,
            const std::string& target) {
  Run run(options, server, {options.players, options.rate, options.duration.value_or(10.0)});
  const Failure failure = run.Execute();
  if (failure == Failure::Socket) return ExitCode(failure);
  if (options.json) {
    const nlohmann::ordered_json report = {{"target", target}, {"run", Json(run.Result())}};
    std::cout << report.dump() << std::endl;
  } else {
    PrintTable(run.Result(), options, target);
  }
  return ExitCode(failure);
}

int FindCapacity(const Options& options, const Platform::Ipv4Address& server,
                 const std::string& target) {
  const double low = options.VaryRate() ? 0.1 : 1.0;
  const double high = options.VaryRate() ? kMaxRate : static_cast<double>(kMaxPlayers);
  const auto normalise = [&](double value) {
    value = std::clamp(value, low, high);
    return options.VaryRate() ? value : std::round(value);
  };
  const double duration = options.duration.value_or(5.0);
  const auto searchStart = Tools::Clock::now();
  std::vector<RunResult> runs;
  std::optional<double> bestValue, firstLossy;
  std::optional<std::size_t> bestIndex;
  Failure failure = Failure::None;

  const auto tryValue = [&](double value) {
    Load load{options.players, options.rate, duration};
    if (options.VaryRate()) {
      load.rate = value;
    } else {
      load.players = static_cast<std::uint64_t>(value);
    }
    if (options.progress) {
      std::cerr << "step: " << load.players << " players x " << Fixed(load.rate, 1) << " Hz for "
                << Fixed(duration, 1) << " s" << std::endl;
    }
    Run run(options, server, load);
    failure = run.Execute();
    if (failure == Failure::Socket) return false;
    runs.push_back(run.Result());
    if (run.Result().LossFree()) {
      if (!bestValue || value > *bestValue) {
        bestValue = value;
        bestIndex = runs.size() - 1;
      }
    } else if (!firstLossy || value < *firstLossy) {
      firstLossy = value;
    }
    return true;
  };
  // A step's full cost: connecting, sending, draining and disconnecting, with some slack.
  const auto timeLeftFor = [&](double value) {
    const double players = options.VaryRate() ? static_cast<double>(options.players) : value;
    const double estimate = duration + options.drain + 1.0 + players * players * 0.0005;
    return !EndRequested() &&
           Tools::SecondsBetween(searchStart, Tools::Clock::now()) + estimate <= options.maxTime;
  };

  double value = normalise(options.start.value_or(options.VaryRate() ? 5.0 : 2.0));
  while (!firstLossy && timeLeftFor(value)) {
    if (!tryValue(value)) break;
    if (firstLossy || value >= high) break;
    value = normalise(options.step ? value + *options.step : value * 2.0);
  }
  // Doubling overshoots; narrow the gap between the last good and the first lossy value.
  constexpr double resolution = 1.0;
  for (int round = 0; round < 4 && !options.step && failure != Failure::Socket && bestValue &&
                      firstLossy && *firstLossy - *bestValue > resolution;
       ++round) {
    const double middle = normalise((*bestValue + *firstLossy) / 2.0);
    if (middle <= *bestValue || middle >= *firstLossy || !timeLeftFor(middle)) break;
    if (!tryValue(middle)) break;
  }
  if (failure == Failure::Socket) return ExitCode(failure);

  const RunResult* best = bestIndex ? &runs[*bestIndex] : nullptr;
  if (options.json) {
    nlohmann::ordered_json report = {{"target", target}, {"vary", options.vary}};
    report["runs"] = nlohmann::ordered_json::array();
    for (const RunResult& r : runs) report["runs"].push_back(Json(r));
    report["largestLossFree"] = best ? Json(*best) : nullptr;
    std::cout << report.dump() << std::endl;
  } else {
    PrintSearchTable(runs, best, options.VaryRate(), target);
  }
  bool bad = false;
  for (const RunResult& r : runs) bad = bad || r.badDatagrams > 0 || !r.connected;
  return bad ? Tools::kExitFailed : Tools::kExitOk;
}

}  // namespace
}  // namespace Loadgen

int main(int argc, char** argv) {
  Loadgen::Options options;
  if (const auto exitCode = Loadgen::ParseOptions(argc, argv, options)) return *exitCode;

  // Checked while parsing the options: a loopback address.
  const auto serverAddress = Tools::ParseAddress(options.server.c_str());
  if (!serverAddress || !Tools::IsLoopback(*serverAddress)) return Tools::kExitUsage;
  if (!Platform::StartSocketLibrary()) {
    std::cerr << "velantis-loadgen: cannot start the socket library (error "
              << Platform::LastSocketError() << ")" << std::endl;
    return Tools::kExitSocket;
  }
  const Platform::Ipv4Address server = Platform::MakeIpv4Address(*serverAddress, options.port);
  const std::string target = Tools::FormatAddress(server);
  if (options.serverPid && !Loadgen::ServerPidServesPort(*options.serverPid, options.port)) {
    return Tools::kExitUsage;
  }
  Loadgen::EndOnSignals();
  return options.findCapacity ? Loadgen::FindCapacity(options, server, target)
                              : Loadgen::RunOnce(options, server, target);
}
