#include "loadgen/LoadgenOptions.h"

#include "Version.h"
#include "common/CommandLine.h"

namespace Loadgen {
namespace {

constexpr const char* kAbout = R"(: measure how much position traffic a game server relays.

Connects N simulated players to a server on this machine, each from a UDP socket of its own and
with a client id of its own, waits until every one has been welcomed, then has each player send
position updates at R Hz for T seconds. The server relays every update to every registered
player, so each update sent should come back N times. After a short drain wait the tool reports
the offered and delivered packet rates, the relays lost, and the relay latency (each update
carries its send time in its text, which the server relays unchanged). All players disconnect
at the end, so the server's registry is left as it was; a run that was cut short is cleaned up
by the next one, which first disconnects the same ids.
)";

constexpr const char* kAfterOptions = R"help(Exit codes:
  0  the run (or search) completed; loss is reported, not treated as a failure
  1  the server did not answer: a player got no Welcome, or datagrams failed verification
  2  usage error, a target that is not a loopback address, or a --server-pid process that
     does not hold the server's UDP port
  3  socket error: sockets could not be opened or bound, or sending failed

SIGINT or SIGTERM (Ctrl+C) ends the sending early; the run still drains, disconnects its
players and reports what it measured, and a capacity search takes no further step.

Examples:
  velantis-loadgen --server-pid "$(pgrep -n velantis-server)"
  velantis-loadgen --players=8 --rate=60 --duration=20 --json
  velantis-loadgen --find-capacity --vary rate --players 4)help";

constexpr double kMaxDuration = 120.0;
constexpr double kMaxDrain = 30.0;
constexpr double kMaxSearchTime = 1800.0;

// Only loopback addresses may be loaded: the tool floods its target.
CLI::Validator LoopbackIpv4() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        const auto address = Tools::ParseAddress(text.c_str());
        if (!address) {
          return "bad value '" + text + "': expected a dotted IPv4 address such as 127.0.0.1";
        }
        if (!Tools::IsLoopback(*address)) {
          return "refusing to load " + text +
                 ": only loopback addresses (127.x.x.x) may be targeted";
        }
        return {};
      },
      "a loopback IPv4 address, 127.x.x.x");
}

}  // namespace

std::optional<int> ParseOptions(int argc, char** argv, Options& options) {
  using namespace Tools;
  CLI::App app(std::string("velantis-loadgen ") + VELANTIS_VERSION + kAbout, "velantis-loadgen");
  SetUpCommandLine(app);
  app.footer(kAfterOptions);

  std::string group = "Load";
  AddValue(app, "--players", "N", options.players, WholeNumberIn(1, kMaxPlayers),
           "simulated players")
      ->group(group);
  AddValue(app, "--rate", "HZ", options.rate, NumberIn(0.1, kMaxRate),
           "position updates per player per second")
      ->group(group);
  AddValue(app, "--duration", "S", options.duration, NumberIn(0.1, kMaxDuration),
           "seconds of sending; by default 10, or 5 per step with --find-capacity")
      ->group(group);
  AddValue(app, "--drain", "S", options.drain, NumberIn(0.0, kMaxDrain),
           "longest wait for late relays after sending stops; ends sooner once nothing has "
           "arrived for half a second")
      ->group(group);
  AddValue(app, "--first-id", "N", options.firstID,
           WholeNumberIn(0, ~std::uint64_t{0} - kMaxPlayers,
                         "an unsigned 64-bit id that leaves room for the others"),
           "client id of the first player; the others follow")
      ->group(group);

  app.add_flag("--snapshots", options.snapshots,
               "every player asks for snapshots; an update is delivered to a player once that "
               "position or a later one of the same player reached it, in a snapshot or a relay")
      ->group(group);
  app.add_flag("--mixed", options.mixed,
               "with --snapshots, only every other player asks for them: a mixed world")
      ->group(group);

  group = "Capacity search";
  app.add_flag("--find-capacity", options.findCapacity,
               "run step after step with a growing load until relays are lost, then report the "
               "largest load that lost none")
      ->group(group);
  AddValue(app, "--vary", "WHAT", options.vary, OneOf({"players", "rate"}),
           "what grows; the other stays fixed")
      ->group(group);
  AddValue(app, "--start", "N", options.start, NumberIn(0.1, kMaxRate),
           "first value; by default 2 players, or 5 Hz")
      ->group(group);
  AddValue(app, "--step", "N", options.step, NumberIn(0.1, kMaxRate),
           "grow by N each step; by default the value doubles until loss appears and the gap to "
           "the first lossy value is then halved a few times")
      ->group(group);
  AddValue(app, "--max-time", "S", options.maxTime, NumberIn(1.0, kMaxSearchTime),
           "stop the search after this many seconds in all")
      ->group(group);

  group = "Server and output";
  AddValue(app, "--server", "ADDR", options.server, LoopbackIpv4(), "server address")->group(group);
  AddValue(app, "--port", "N", options.port, WholeNumberIn(1, 65535), "server port")->group(group);
  AddValue(app, "--server-pid", "PID", options.serverPid, WholeNumberIn(1, 0x7fffffff),
           "also report the server's CPU time during the run and its memory, as /proc tells "
           "them; the process must hold the server's UDP port; not on Windows")
      ->group(group);
  app.add_flag("--json", options.json, "print the figures as JSON instead of a table")
      ->group(group);
  app.add_flag_callback(
         "--no-progress", [&options] { options.progress = false; },
         "no progress lines on standard error")
      ->group(group);
  AddHelpAndVersion(app, group);

  return ParseCommandLine(app, argc, argv);
}

}  // namespace Loadgen
