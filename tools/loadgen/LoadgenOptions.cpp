#include "loadgen/LoadgenOptions.h"

#include <iostream>
#include <string_view>

namespace Loadgen {
namespace {

constexpr const char* kHelp =
    R"help(velantis-loadgen: measure how much position traffic a game server relays.

Usage: velantis-loadgen [options]

Connects N simulated players to a server on this machine, each from a UDP socket of its own and
with a client id of its own, waits until every one has been welcomed, then has each player send
position updates at R Hz for T seconds. The server relays every update to every registered
player, so each update sent should come back N times. After a short drain wait the tool reports
the offered and delivered packet rates, the relays lost, and the relay latency (each update
carries its send time in its text, which the server relays unchanged). All players disconnect
at the end, so the server's registry is left as it was; a run that was cut short is cleaned up
by the next one, which first disconnects the same ids.

Load:
  --players N         simulated players, 1-256 (default 16)
  --rate HZ           position updates per player per second, up to 1000 (default 30)
  --duration S        seconds of sending, up to 120 (default 10; 5 per step with
                      --find-capacity)
  --drain S           longest wait for late relays after sending stops, up to 30 (default 3;
                      ends sooner once nothing has arrived for half a second)
  --first-id N        client id of the first player; the others follow (default 1000000)

Capacity search:
  --find-capacity     run step after step with a growing load until relays are lost, then
                      report the largest load that lost none
  --vary WHAT         what grows: players (default) or rate; the other stays fixed
  --start N           first value (default 2 players, or 5 Hz)
  --step N            grow by N each step; by default the value doubles until loss appears and
                      the gap to the first lossy value is then halved a few times
  --max-time S        stop the search after this many seconds in all, up to 1800 (default 600)

Server and output:
  --server ADDR       server address, loopback only (default 127.0.0.1)
  --port N            server port (default 15000)
  --server-pid PID    also report the server's CPU time during the run and its memory (read
                      from /proc; not available on Windows)
  --json              print the figures as JSON instead of a table
  --no-progress       no progress lines on standard error
  --help              show this text

Exit codes:
  0  the run (or search) completed; loss is reported, not treated as a failure
  1  the server did not answer: a player got no Welcome, or datagrams failed verification
  2  usage error, or a target that is not a loopback address
  3  socket error: sockets could not be opened or bound, or sending failed

Examples:
  velantis-loadgen --server-pid "$(pgrep -n velantis-server)"
  velantis-loadgen --players 8 --rate 60 --duration 20 --json
  velantis-loadgen --find-capacity --vary rate --players 4
)help";

constexpr double kMaxDuration = 120.0;
constexpr double kMaxDrain = 30.0;
constexpr double kMaxSearchTime = 1800.0;

}  // namespace

int UsageError(const std::string& message) {
  std::cerr << "velantis-loadgen: " << message << "\nTry 'velantis-loadgen --help'." << std::endl;
  return Tools::kExitUsage;
}

std::optional<int> ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view name = argv[i];
    const auto takeValue = [&]() -> bool {
      if (i + 1 >= argc) return false;
      ++i;
      return true;
    };
    const auto bad = [&](std::string_view what) {
      return UsageError("bad value '" + std::string(argv[i]) + "' for " + std::string(name) + ": " +
                        std::string(what));
    };
    const auto number = [&](double low, double high) -> std::optional<double> {
      const auto parsed = Tools::ParseNumber(argv[i]);
      if (!parsed || !(*parsed >= low && *parsed <= high)) return {};
      return parsed;
    };
    const auto whole = [&](std::uint64_t low, std::uint64_t high) -> std::optional<std::uint64_t> {
      const auto parsed = Tools::ParseUnsigned(argv[i]);
      if (!parsed || *parsed < low || *parsed > high) return {};
      return parsed;
    };
    const bool needsValue = name != "--help" && name != "-h" && name != "--find-capacity" &&
                            name != "--json" && name != "--no-progress";
    if (needsValue && !takeValue()) {
      return UsageError("option " + std::string(name) + " needs a value");
    }

    if (name == "--help" || name == "-h") {
      std::cout << kHelp;
      return Tools::kExitOk;
    } else if (name == "--find-capacity") {
      options.findCapacity = true;
    } else if (name == "--json") {
      options.json = true;
    } else if (name == "--no-progress") {
      options.progress = false;
    } else if (name == "--players") {
      const auto players = whole(1, kMaxPlayers);
      if (!players) return bad("expected 1-256");
      options.players = *players;
    } else if (name == "--rate") {
      const auto rate = number(0.1, kMaxRate);
      if (!rate) return bad("expected 0.1-1000 Hz");
      options.rate = *rate;
    } else if (name == "--duration") {
      options.duration = number(0.1, kMaxDuration);
      if (!options.duration) return bad("expected 0.1-120 seconds");
    } else if (name == "--drain") {
      const auto drain = number(0.0, kMaxDrain);
      if (!drain) return bad("expected 0-30 seconds");
      options.drain = *drain;
    } else if (name == "--first-id") {
      const auto id = whole(0, ~std::uint64_t{0} - kMaxPlayers);
      if (!id) return bad("expected an unsigned 64-bit id");
      options.firstID = *id;
    } else if (name == "--vary") {
      const std::string_view what = argv[i];
      if (what != "players" && what != "rate") return bad("expected players or rate");
      options.varyRate = what == "rate";
    } else if (name == "--start") {
      options.start = number(0.1, kMaxRate);
      if (!options.start) return bad("expected a positive number");
    } else if (name == "--step") {
      options.step = number(0.1, kMaxRate);
      if (!options.step) return bad("expected a positive number");
    } else if (name == "--max-time") {
      const auto maxTime = number(1.0, kMaxSearchTime);
      if (!maxTime) return bad("expected 1-1800 seconds");
      options.maxTime = *maxTime;
    } else if (name == "--server") {
      options.server = argv[i];
    } else if (name == "--port") {
      const auto port = whole(1, 65535);
      if (!port) return bad("expected a port number");
      options.port = static_cast<std::uint16_t>(*port);
    } else if (name == "--server-pid") {
      const auto pid = whole(1, 0x7fffffff);
      if (!pid) return bad("expected a process id");
      options.serverPid = static_cast<long>(*pid);
    } else {
      return UsageError("unknown option '" + std::string(name) + "'");
    }
  }
  return {};
}

}  // namespace Loadgen
