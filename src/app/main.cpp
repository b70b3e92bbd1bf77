#include <CLI/CLI.hpp>
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>

#include "Version.h"
#include "fleet/AgonesSdk.h"
#include "fleet/HttpClient.h"
#include "logs/LogsManager.h"
#include "metrics/MetricsEndpoint.h"
#include "metrics/MetricsText.h"
#include "net/NetworkingComponentServer.h"
#include "net/ServerCounters.h"
#include "net/Snapshots.h"
#include "platform/platform.h"
#include "utils/Console.h"

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

struct MetricsAddress {
  std::string address;
  std::uint16_t port = 0;
};

// "ADDR:PORT" with dotted IPv4 text and a port of 1-65535 in plain decimal.
std::optional<MetricsAddress> ParseMetricsAddress(const std::string& text) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos) return std::nullopt;
  MetricsAddress parsed{text.substr(0, colon), 0};
  std::uint32_t networkOrder = 0;
  if (Platform::ParseIpv4(parsed.address.c_str(), networkOrder) != 1) return std::nullopt;
  const std::string port = text.substr(colon + 1);
  unsigned value = 0;
  const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (port.empty() || port[0] == '0' || error != std::errc() || end != port.data() + port.size() ||
      value > 65535) {
    return std::nullopt;
  }
  parsed.port = static_cast<std::uint16_t>(value);
  return parsed;
}

struct Options {
  std::optional<MetricsAddress> metrics;
  std::size_t maxPlayers = NetworkingComponentServer::kDefaultMaxPlayers;
  std::string stateDirectory;
  int receiveBuffer = 0;
  std::uint16_t port = 15000;
  std::string bind = "0.0.0.0";
  bool progress = true;
  std::optional<MetricsAddress> checkHealth;
  double agonesHealthSeconds = 2.0;
  double agonesEmptyShutdownSeconds = 30.0;
  double drainSeconds = 30.0;
  std::uint64_t logMaxBytes = 0;
  unsigned logKeep = 2;
  std::string instance;
  bool trustSources = false;
  std::uint32_t idleTimeout = NetworkingComponentServer::kDefaultIdleTimeoutSeconds;
  unsigned tickRate = 30;
  unsigned interest = 0;
};

// Where the players are kept across a restart: --state-dir, or else the folder systemd made for
// the service (StateDirectory=, handed over in $STATE_DIRECTORY, the first of a list); none
// otherwise, and then nothing is kept.
std::string PlayersFile(const Options& options) {
  std::string folder = options.stateDirectory;
  if (folder.empty()) {
    const char* given = std::getenv("STATE_DIRECTORY");
    if (given != nullptr) folder = std::string(given).substr(0, std::string(given).find(':'));
  }
  if (folder.empty()) return {};
  if (folder.back() != Platform::kPathSeparator) folder.push_back(Platform::kPathSeparator);
  return folder + "players";
}

CLI::Validator DottedIpv4() {
  return CLI::Validator(
      [](std::string& text) {
        std::uint32_t networkOrder = 0;
        return Platform::ParseIpv4(text.c_str(), networkOrder) == 1
                   ? std::string()
                   : "bad value '" + text.substr(0, 40) +
                         "': expected a dotted IPv4 address such as 0.0.0.0 or 127.0.0.1";
      },
      "");
}

// Nothing when the server is to start; otherwise the exit code: 0 after --help or --version, 2
// after a usage error, which is reported on standard error.
std::optional<int> ParseCommandLine(int argc, char** argv, Options& options) {
  CLI::App app(
      "The Velantis game server. It receives the players' 1056-byte packets on UDP port 15000 of\n"
      "every local IPv4 address (--port, --bind), logs every datagram in its log file and answers\n"
      "Connect, Disconnect and PlayerPositionUpdate messages. It runs until it is stopped. With\n"
      "no option it serves the game and nothing else.",
      "velantis-server");
  app.set_help_flag("-h,--help", "show this text and exit");
  app.set_version_flag("--version", std::string("velantis-server ") + VELANTIS_VERSION,
                       "show the program's version and exit");
  std::string metrics;
  app.add_option("--metrics", metrics,
                 "also serve Prometheus metrics over HTTP at http://ADDR:PORT/metrics,\n"
                 "on that address only (off unless given; the packaged service uses\n"
                 "127.0.0.1:15100)")
      ->envname("VELANTIS_METRICS")
      ->type_name("ADDR:PORT")
      ->check(CLI::Validator(
          [](std::string& text) {
            return ParseMetricsAddress(text) ? std::string()
                                             : "bad value '" + text.substr(0, 40) +
                                                   "': expected ADDR:PORT, a dotted IPv4 address "
                                                   "and a port of 1-65535, such as "
                                                   "127.0.0.1:15100";
          },
          ""));
  app.add_option("--max-players", options.maxPlayers,
                 "register at most N players at once; a Connect of a new id beyond them is\n"
                 "answered with nothing (default 1024)")
      ->envname("VELANTIS_MAX_PLAYERS")
      ->type_name("N")
      ->check(CLI::Range(std::size_t{1}, std::size_t{1000000}));
  app.add_option("--receive-buffer", options.receiveBuffer,
                 "ask the system for a receive buffer of BYTES for the game socket, where\n"
                 "datagrams wait while the server is busy (default: the system's; Linux grants\n"
                 "at most twice net.core.rmem_max)")
      ->envname("VELANTIS_RECEIVE_BUFFER")
      ->type_name("BYTES")
      ->check(CLI::Range(4096, 1 << 30));
  app.add_option("--state-dir", options.stateDirectory,
                 "keep the registered players in DIR/players across a restart: saved when the\n"
                 "server stops, restored when it starts (default $STATE_DIRECTORY, which\n"
                 "systemd sets for the service; without either, nothing is kept)")
      ->envname("VELANTIS_STATE_DIR")
      ->type_name("DIR");
  app.add_option("--port", options.port,
                 "the game's UDP port (default 15000); several servers on one host each take\n"
                 "a port of their own")
      ->envname("VELANTIS_PORT")
      ->type_name("N")
      ->check(CLI::Range(1, 65535));
  app.add_option("--bind", options.bind,
                 "receive on this local IPv4 address only (default 0.0.0.0: every address)")
      ->envname("VELANTIS_BIND")
      ->type_name("ADDR")
      ->check(DottedIpv4());
  app.add_flag("--trust-sources", options.trustSources,
               "believe every source address and id, as the server once did: a Connect\n"
               "registers its source at once and anyone's position update is relayed. UNSAFE\n"
               "on an open network (forged sources get relays, steal ids, fill the server);\n"
               "only for closed networks and clients that never send a position update.\n"
               "By default an address is registered once it proves it receives (a position\n"
               "update with its Welcome's entity id) and an id is served from it only")
      ->envname("VELANTIS_TRUST_SOURCES");
  auto* idleTimeout =
      app.add_option("--idle-timeout", options.idleTimeout,
                     "forget a registered player from whom no valid packet has come for\n"
                     "SECONDS (default 30; 0: never; with --trust-sources, never unless given)")
          ->envname("VELANTIS_IDLE_TIMEOUT")
          ->type_name("SECONDS")
          ->check(CLI::Range(0u, 86400u));
  app.add_option("--tick-rate", options.tickRate,
                 "snapshots a second for the clients that ask for them (default 30; 0: grant\n"
                 "none); clients that do not ask get every update relayed, as always")
      ->envname("VELANTIS_TICK_RATE")
      ->type_name("HZ")
      ->check(CLI::Range(0u, 1000u));
  app.add_option("--interest", options.interest,
                 "with more players than one snapshot datagram holds, send each snapshot\n"
                 "player one datagram a tick: its N nearest players every tick, the others in\n"
                 "turn in the datagram's other places (1-49; default 0: off, every player that\n"
                 "moved goes to everyone, in as many datagrams as it takes)")
      ->envname("VELANTIS_INTEREST")
      ->type_name("N")
      ->check(CLI::Range(0u, Snapshots::kMaxInterest));
  std::string progress = "on";
  app.add_option("--progress", progress,
                 "on: print a progress line on standard output for every datagram received\n"
                 "and every packet sent (the default); off: print none of them, as a service\n"
                 "or a container should (error lines and the log are unchanged)")
      ->envname("VELANTIS_PROGRESS")
      ->type_name("on|off")
      ->check(CLI::IsMember({"on", "off"}));
  std::string checkHealth;
  app.add_option("--check-health", checkHealth,
                 "do not serve: ask the metrics endpoint of a server at ADDR:PORT whether the\n"
                 "game is served (GET /healthz) and exit 0 when it says so, 1 when it does not\n"
                 "or does not answer within 2 s (a container's health check)")
      ->type_name("ADDR:PORT")
      ->check(CLI::Validator(
          [](std::string& text) {
            return ParseMetricsAddress(text)
                       ? std::string()
                       : "bad value '" + text.substr(0, 40) + "': expected ADDR:PORT";
          },
          ""));
  app.add_option("--agones-health", options.agonesHealthSeconds,
                 "under Agones (AGONES_SDK_HTTP_PORT set): seconds between Health calls\n"
                 "(default 2; keep it below the GameServer's health periodSeconds)")
      ->type_name("SECONDS")
      ->check(CLI::Range(0.1, 3600.0));
  app.add_option("--agones-empty-shutdown", options.agonesEmptyShutdownSeconds,
                 "under Agones: once the GameServer is Allocated, stop (drain, Shutdown, exit)\n"
                 "when no player has come within SECONDS (default 30; 0: wait for ever); a\n"
                 "match whose players have all left after some came always ends so")
      ->envname("VELANTIS_AGONES_EMPTY_SHUTDOWN")
      ->type_name("SECONDS")
      ->check(CLI::Range(0.0, 86400.0));
  app.add_option("--drain-timeout", options.drainSeconds,
                 "on a stop request (SIGTERM, SIGINT, Agones' end of the match), admit no new\n"
                 "player and serve the registered ones until they have all left, for at most\n"
                 "SECONDS (default 30; 0: stop at once); a second request stops at once")
      ->envname("VELANTIS_DRAIN_TIMEOUT")
      ->type_name("SECONDS")
      ->check(CLI::Range(0.0, 86400.0));
  app.add_option("--log-max-bytes", options.logMaxBytes,
                 "begin a new log file when the current one would pass N bytes, keeping the\n"
                 "older ones as Thread_0.logs.1, .2, ... (default 0: one file, unbounded)")
      ->envname("VELANTIS_LOG_MAX_BYTES")
      ->type_name("N")
      ->check(CLI::Range(std::uint64_t{0}, std::uint64_t{1} << 50));
  app.add_option("--log-keep", options.logKeep,
                 "with --log-max-bytes, keep at most K older log files (default 2): the log\n"
                 "folder then holds at most about (K+1) x N bytes")
      ->envname("VELANTIS_LOG_KEEP")
      ->type_name("K")
      ->check(CLI::Range(0u, 1000u));
  app.add_option("--instance", options.instance,
                 "put instance=\"NAME\" on every metric: which server of several on a host, or\n"
                 "which pod (default: no such label)")
      ->envname("VELANTIS_INSTANCE")
      ->type_name("NAME");
  bool checkConfig = false;
  app.add_flag("--check-config", checkConfig,
               "check the options (and the VELANTIS_* variables), say what they make, and exit\n"
               "without serving: 0 when they are valid, 2 when not");
  app.footer(
      "Every option but --check-health can also be given as a variable of the environment,\n"
      "VELANTIS_ and its name in capitals with '_' for '-' (VELANTIS_MAX_PLAYERS=64); the\n"
      "command line wins. The packaged service reads them from /etc/default/velantis-server.\n"
      "The log is Thread_0.logs below OrlinStudio/Velantis/Server/ThreadsLogs in the user's data\n"
      "folder ($XDG_DATA_HOME, or ~/.local/share; %LOCALAPPDATA% on Windows).\n"
      "SIGTERM or SIGINT (Ctrl+C) drains the server (--drain-timeout), then stops it once the\n"
      "datagram in hand is handled; a second one stops it at once.\n"
      "Exit codes: 0 after --help or --version and when stopped, 1 when the metrics address\n"
      "cannot be bound, 2 for a usage error.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& done) {
    return app.exit(done);
  } catch (const CLI::ParseError& error) {
    // Through the console's error lines, so that the journal files it as an error.
    Console::Err("velantis-server: ", error.what());
    Console::Err("Try 'velantis-server --help'.");
    return kExitUsage;
  }
  if (!metrics.empty()) options.metrics = ParseMetricsAddress(metrics);
  options.progress = progress == "on";
  if (options.trustSources && idleTimeout->count() == 0) options.idleTimeout = 0;
  if (!checkHealth.empty()) options.checkHealth = ParseMetricsAddress(checkHealth);
  if (checkConfig) {
    Console::Out(
        "velantis-server: the configuration is valid: UDP ", options.bind, ":",
        Decimal(options.port), ", at most ", Decimal(options.maxPlayers), " players, metrics ",
        options.metrics ? options.metrics->address + ":" + std::to_string(options.metrics->port)
                        : std::string("off"),
        ", receive buffer ",
        options.receiveBuffer > 0 ? std::to_string(options.receiveBuffer) + " bytes"
                                  : std::string("the system's"),
        ", progress lines ", progress, ", players kept in ",
        PlayersFile(options).empty() ? std::string("no file") : PlayersFile(options),
        options.trustSources ? ", every source trusted" : ", sources proven", ", idle timeout ",
        options.idleTimeout == 0 ? std::string("off") : std::to_string(options.idleTimeout) + " s");
    return 0;
  }
  return std::nullopt;
}

// The journal's one line of a start: what serves where, and with what room.
void JournalStartLine(const Options& options, const NetworkingComponentServer& server) {
  const auto socket = Platform::ReadSocketFigures(server.Socket());
  const std::string metrics = options.metrics
                                  ? "http://" + options.metrics->address + ":" +
                                        std::to_string(options.metrics->port) + "/metrics"
                                  : std::string("off");
  Console::Journal("velantis-server ", VELANTIS_VERSION, ": serving UDP ",
                   Orlin::AddressText(server.Address()), ", at most ",
                   Decimal(NetworkingComponentServer::MaxPlayers()), " players, receive buffer ",
                   Decimal(socket ? socket->receiveBufferBytes : 0), " bytes, metrics ", metrics);
}

std::chrono::milliseconds Milliseconds(double seconds) {
  return std::chrono::milliseconds(static_cast<std::int64_t>(seconds * 1000));
}

// Lets the registered players finish their game before the server stops: no new player is
// admitted, and the registered ones are served until they have all left, the time is up or a
// second stop request comes. Nothing to wait for without players or a running receive loop.
void Drain(std::chrono::milliseconds timeLimit) {
  const auto players = [] { return Counters().registeredPlayers.load(std::memory_order_relaxed); };
  if (timeLimit.count() <= 0 || players() == 0 || !NetworkingComponentServer::Progress().running) {
    return;
  }
  NetworkingComponentServer::StopAdmitting();
  char seconds[32];
  const auto secondsEnd = std::to_chars(seconds, seconds + sizeof(seconds),
                                        static_cast<double>(timeLimit.count()) / 1000.0)
                              .ptr;
  Console::Out("NetworkingComponentServer(): Draining: no new player is admitted; ",
               Decimal(players()), " registered players are served until they leave, for at most ",
               std::string_view(seconds, static_cast<std::size_t>(secondsEnd - seconds)), " s.");
  const auto deadline = std::chrono::steady_clock::now() + timeLimit;
  // How soon the last player's leaving is noticed; the only cost of draining.
  constexpr auto kLook = std::chrono::milliseconds(100);
  for (;;) {
    if (players() == 0) {
      Console::Out("NetworkingComponentServer(): Drained: every player has left.");
      return;
    }
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) {
      Console::Out("NetworkingComponentServer(): Drain time is up: ", Decimal(players()),
                   " players are still registered.");
      return;
    }
    const auto wait = std::min<std::chrono::steady_clock::duration>(left, kLook);
    if (Platform::WaitForStopRequest(
            static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count()))) {
      Console::Out("NetworkingComponentServer(): Drain cut short by a second stop request: ",
                   Decimal(players()), " players are still registered.");
      return;
    }
  }
}

}  // namespace

int ProcessEntry(int argc, char** argv) {
  // Before any thread starts, so that every thread leaves the stop signals to this one.
  Platform::HoldStopRequests();
  Platform::AttachConsole();
  Options options;
  if (const auto exitCode = ParseCommandLine(argc, argv, options)) return *exitCode;
  if (options.checkHealth) {
    const Fleet::HttpAnswer answer =
        Fleet::HttpRequest(options.checkHealth->address, options.checkHealth->port, "GET",
                           "/healthz", "", std::chrono::seconds(2));
    return answer.status == 200 ? 0 : kExitFailed;
  }
  const auto agonesPort = Fleet::AgonesPortFromEnvironment();
  NetworkingComponentServer::SetMaxPlayers(options.maxPlayers);
  NetworkingComponentServer::SetTrustSources(options.trustSources);
  NetworkingComponentServer::SetIdleTimeout(options.idleTimeout);
  Snapshots::SetTickRate(options.tickRate);
  Snapshots::SetInterest(options.interest);
  Console::SetProgress(options.progress);
  LogsManager::SetRotation(options.logMaxBytes, options.logKeep);
  SetMetricsInstance(options.instance);
  if (options.metrics && !Metrics::StartEndpoint(options.metrics->address, options.metrics->port)) {
    return kExitFailed;
  }
  // Lives for the rest of the process: the receive thread uses it until it is stopped.
  static NetworkingComponentServer server;
  const std::string playersFile = PlayersFile(options);
  if (!playersFile.empty()) NetworkingComponentServer::RestoreClients(playersFile, options.port);
  NetworkingComponentServer::SetReceiveBufferRequest(options.receiveBuffer);
  server.Init(Orlin::Protocol::Udp);
  if (server.Start(options.bind.c_str(), options.port)) {
    JournalStartLine(options, server);
    if (agonesPort) {
      Fleet::StartAgones(*agonesPort, Milliseconds(options.agonesHealthSeconds),
                         Milliseconds(options.agonesEmptyShutdownSeconds));
    }
  }
  // Nothing more to do on this thread but to wait, without using the processor, for a stop
  // request (on Windows only the Agones thread makes one: Ctrl+C or closing the console ends the
  // process).
  Platform::WaitForStopRequest();
  Drain(Milliseconds(options.drainSeconds));
  Console::Out("NetworkingComponentServer(): Stopping on request.");
  Fleet::StopAgones();
  // A receive loop that has not ended in time is left alone: nothing is torn down under it.
  if (!server.Stop()) std::_Exit(0);
  if (!playersFile.empty()) NetworkingComponentServer::SaveClients(playersFile);
  return 0;
}
