#include "loadgen/LoadgenReport.h"

#include <cmath>
#include <iomanip>
#include <iostream>
#include <optional>
#include <sstream>

namespace Loadgen {

std::string Fixed(double value, int decimals) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(decimals) << value;
  return text.str();
}

namespace {

std::string Optional(const std::optional<double>& value, int decimals) {
  return value ? Fixed(*value, decimals) : "-";
}

// Figures keep the precision the table shows; what the run could not measure is null.
double Rounded(double value, int decimals) {
  const double scale = std::pow(10.0, decimals);
  return std::round(value * scale) / scale;
}

nlohmann::ordered_json Rounded(const std::optional<double>& value, int decimals) {
  if (!value) return nullptr;
  return Rounded(*value, decimals);
}

nlohmann::ordered_json Count(const std::optional<std::uint64_t>& value) {
  if (!value) return nullptr;
  return *value;
}

}  // namespace

nlohmann::ordered_json Json(const RunResult& r) {
  std::optional<std::uint64_t> serverPeak, serverResident;
  if (r.serverAfter) {
    serverPeak = r.serverAfter->peakResidentBytes / 1024;
    serverResident = r.serverAfter->residentBytes / 1024;
  }
  return {
      {"players", r.load.players},
      {"rate", Rounded(r.load.rate, 2)},
      {"duration", Rounded(r.load.duration, 2)},
      {"connected", r.connected},
      {"welcomed", r.welcomed},
      {"announcements", r.announcements},
      {"connectSeconds", Rounded(r.connectSeconds, 3)},
      {"sendSeconds", Rounded(r.sendSeconds, 3)},
      {"drainSeconds", Rounded(r.drainSeconds, 3)},
      {"sent", r.sent},
      {"expected", r.expected},
      {"received", r.received},
      {"lost", r.Lost()},
      {"lossPercent", Rounded(r.LossPercent(), 3)},
      {"lossFree", r.LossFree()},
      {"badDatagrams", r.badDatagrams},
      {"otherPackets", r.otherPackets},
      {"snapshotsReceived", r.snapshotsReceived},
      {"bytesPerPlayerPerSecond", Rounded(r.BytesPerPlayerPerSecond(), 1)},
      {"offeredUpdatesPerSecond", Rounded(r.offeredUpdatesPerSecond, 1)},
      {"offeredRelaysPerSecond", Rounded(r.offeredRelaysPerSecond, 1)},
      {"deliveredRelaysPerSecond", Rounded(r.deliveredRelaysPerSecond, 1)},
      {"latencyP50Ms", Rounded(r.p50Milliseconds, 3)},
      {"latencyP99Ms", Rounded(r.p99Milliseconds, 3)},
      {"latencyMaxMs", Rounded(r.maxMilliseconds, 3)},
      {"serverCpuSeconds", Rounded(r.ServerCpuSeconds(), 2)},
      {"serverPeakKilobytes", Count(serverPeak)},
      {"serverResidentKilobytes", Count(serverResident)},
      {"loadgenCpuSeconds", Rounded(r.loadgenCpuSeconds, 2)},
      {"serverSocketDrops", Count(r.serverSocketDrops)},
      {"loadgenSocketDrops", Count(r.loadgenSocketDrops)},
  };
}

void PrintTable(const RunResult& r, const Options& options, const std::string& target) {
  const auto row = [](const std::string& name, const std::string& value) {
    std::cout << "  " << std::left << std::setw(34) << name << std::right << std::setw(14) << value
              << "\n";
  };
  std::cout << "velantis-loadgen: " << r.load.players << " players x " << Fixed(r.load.rate, 1)
            << " Hz for " << Fixed(r.load.duration, 1) << " s against " << target << "\n";
  row("players welcomed", std::to_string(r.welcomed) + "/" + std::to_string(r.load.players));
  row("connect phase (s)", Fixed(r.connectSeconds, 2));
  row("sending (s)", Fixed(r.sendSeconds, 2));
  row("drain wait (s)", Fixed(r.drainSeconds, 2));
  row("position updates sent", std::to_string(r.sent));
  row("offered updates (pkt/s)", Fixed(r.offeredUpdatesPerSecond, 1));
  row("relays expected (sent x players)", std::to_string(r.expected));
  row("offered relays (pkt/s)", Fixed(r.offeredRelaysPerSecond, 1));
  row("relays received", std::to_string(r.received));
  row("delivered relays (pkt/s)", Fixed(r.deliveredRelaysPerSecond, 1));
  row("relays lost", std::to_string(r.Lost()) + " (" + Fixed(r.LossPercent(), 2) + "%)");
  row("relay latency p50 (ms)", Optional(r.p50Milliseconds, 2));
  row("relay latency p99 (ms)", Optional(r.p99Milliseconds, 2));
  row("relay latency max (ms)", Optional(r.maxMilliseconds, 2));
  if (r.serverSocketDrops && r.loadgenSocketDrops) {
    row("dropped, server buffer full", std::to_string(*r.serverSocketDrops));
    row("dropped, loadgen buffers full", std::to_string(*r.loadgenSocketDrops));
  }
  row("bad datagrams", std::to_string(r.badDatagrams));
  row("other packets", std::to_string(r.otherPackets));
  if (options.snapshots) row("snapshots received", std::to_string(r.snapshotsReceived));
  row("received per player (bytes/s)", Fixed(r.BytesPerPlayerPerSecond(), 0));
  if (const auto cpu = r.ServerCpuSeconds()) {
    const double wall = r.sendSeconds + r.drainSeconds;
    row("server CPU during run (s)", Fixed(*cpu, 2));
    row("server CPU (% of one core)", wall > 0 ? Fixed(100.0 * *cpu / wall, 1) : "-");
    row("server peak memory VmHWM (kB)", std::to_string(r.serverAfter->peakResidentBytes / 1024));
    row("server resident VmRSS (kB)", std::to_string(r.serverAfter->residentBytes / 1024));
  } else {
    row("server CPU and memory", options.serverPid ? "(no /proc here)" : "(no --server-pid)");
  }
  row("loadgen CPU during run (s)", Fixed(r.loadgenCpuSeconds, 2));
  std::cout << std::flush;
}

void PrintSearchTable(const std::vector<RunResult>& runs, const RunResult* best, bool varyRate,
                      const std::string& target) {
  std::cout << "velantis-loadgen: capacity search against " << target << ", varying "
            << (varyRate ? "rate" : "players") << "\n";
  std::cout << std::right << std::setw(8) << "players" << std::setw(9) << "rate Hz" << std::setw(10)
            << "upd/s" << std::setw(11) << "relays/s" << std::setw(11) << "delivered"
            << std::setw(10) << "lost %" << std::setw(9) << "p50 ms" << std::setw(9) << "p99 ms"
            << std::setw(9) << "max ms" << std::setw(10) << "srv CPU%" << std::setw(10)
            << "srv drop" << std::setw(10) << "lg drop"
            << "\n";
  for (const RunResult& r : runs) {
    const auto cpu = r.ServerCpuSeconds();
    const double wall = r.sendSeconds + r.drainSeconds;
    std::cout << std::setw(8) << r.load.players << std::setw(9) << Fixed(r.load.rate, 1)
              << std::setw(10) << Fixed(r.offeredUpdatesPerSecond, 0) << std::setw(11)
              << Fixed(r.offeredRelaysPerSecond, 0) << std::setw(11)
              << Fixed(r.deliveredRelaysPerSecond, 0) << std::setw(10)
              << (r.connected ? Fixed(r.LossPercent(), 2) : "no conn") << std::setw(9)
              << Optional(r.p50Milliseconds, 2) << std::setw(9) << Optional(r.p99Milliseconds, 2)
              << std::setw(9) << Optional(r.maxMilliseconds, 2) << std::setw(10)
              << (cpu && wall > 0 ? Fixed(100.0 * *cpu / wall, 1) : "-") << std::setw(10)
              << (r.serverSocketDrops ? std::to_string(*r.serverSocketDrops) : "-") << std::setw(10)
              << (r.loadgenSocketDrops ? std::to_string(*r.loadgenSocketDrops) : "-") << "\n";
  }
  if (best != nullptr) {
    std::cout << "largest loss-free load: " << best->load.players << " players x "
              << Fixed(best->load.rate, 1) << " Hz = " << Fixed(best->offeredUpdatesPerSecond, 0)
              << " updates/s in, " << Fixed(best->offeredRelaysPerSecond, 0) << " relays/s out\n";
  } else {
    std::cout << "no load was loss-free\n";
  }
  std::cout << std::flush;
}

}  // namespace Loadgen
