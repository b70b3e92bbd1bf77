#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <iomanip>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "common/ToolSupport.h"
#include "net/Packet.h"
#include "platform/platform.h"

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

constexpr std::uint64_t kMaxPlayers = 256;
constexpr double kMaxRate = 1000.0;
constexpr double kMaxDuration = 120.0;
constexpr double kMaxDrain = 30.0;
constexpr double kMaxSearchTime = 1800.0;
// Enough for every relay the server can deliver in the longest run; beyond it latency is taken
// from the first samples only.
constexpr std::size_t kMaxLatencySamples = 8'000'000;
constexpr int kConnectWaitMilliseconds = 2000;
// A server that answers, but too slowly to admit every player within this, is not worth loading.
constexpr double kMaxConnectSeconds = 60.0;

struct Options {
  std::uint64_t players = 16;
  double rate = 30.0;
  std::optional<double> duration;
  double drain = 3.0;
  std::uint64_t firstID = 1'000'000;
  bool findCapacity = false;
  bool varyRate = false;
  std::optional<double> start;
  std::optional<double> step;
  double maxTime = 600.0;
  std::string server = "127.0.0.1";
  std::uint16_t port = Tools::kDefaultServerPort;
  std::optional<long> serverPid;
  bool json = false;
  bool progress = true;
};

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

struct Load {
  std::uint64_t players = 0;
  double rate = 0.0;
  double duration = 0.0;
};

struct RunResult {
  Load load;
  bool connected = false;  // every player was welcomed
  std::uint64_t welcomed = 0;
  std::uint64_t announcements = 0;
  double connectSeconds = 0.0;
  double sendSeconds = 0.0;
  double drainSeconds = 0.0;
  std::uint64_t sent = 0;
  std::uint64_t expected = 0;
  std::uint64_t received = 0;
  std::uint64_t badDatagrams = 0;
  std::uint64_t otherPackets = 0;  // well-formed, but not this run's relays
  double offeredUpdatesPerSecond = 0.0;
  double offeredRelaysPerSecond = 0.0;
  double deliveredRelaysPerSecond = 0.0;
  std::optional<double> p50Milliseconds, p99Milliseconds, maxMilliseconds;
  std::optional<Tools::ProcessUsage> serverBefore, serverAfter;
  double loadgenCpuSeconds = 0.0;
  // Where datagrams were lost to full receive buffers, when the system tells.
  std::optional<std::uint64_t> serverSocketDrops, loadgenSocketDrops;

  std::uint64_t Lost() const { return expected > received ? expected - received : 0; }
  double LossPercent() const {
    return expected == 0 ? 0.0
                         : 100.0 * static_cast<double>(Lost()) / static_cast<double>(expected);
  }
  bool LossFree() const { return connected && Lost() == 0 && sent > 0; }
  std::optional<double> ServerCpuSeconds() const {
    if (!serverBefore || !serverAfter) return {};
    return serverAfter->cpuSeconds - serverBefore->cpuSeconds;
  }
};

struct Player {
  Platform::SocketHandle socket = Platform::kNoSocket;
  std::uint64_t id = 0;
  bool welcomed = false;
  std::uint64_t relays = 0;
  Tools::Clock::time_point nextSend;
};

enum class Failure { None, NoAnswer, Socket };

// One run at a fixed load: all players in one thread, each socket polled in turn. Waiting is done
// on one player's socket (the last to be served by the server's relay walk), so the thread sleeps
// until traffic arrives or the next send is due.
class Run {
 public:
  Run(const Options& options, const Platform::Ipv4Address& server, Load load)
      : options_(options), server_(server) {
    result_.load = load;
  }
  ~Run() {
    for (const Player& player : players_) Platform::CloseSocket(player.socket);
  }
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  Failure Execute() {
    if (!OpenSockets()) return Failure::Socket;
    // A player of an earlier run that was stopped half-way may still be registered under the
    // same id and would turn part of the relays to a dead port.
    if (!SendToAll(MessageType::Disconnect)) return Failure::Socket;
    const Failure connected = ConnectAll();
    if (connected != Failure::None) {
      SendToAll(MessageType::Disconnect);
      return connected;
    }
    const bool sentAll = SendUpdates();
    Drain();
    CountDrops();
    if (options_.serverPid) result_.serverAfter = Tools::ReadProcessUsage(*options_.serverPid);
    if (!SendToAll(MessageType::Disconnect) || !sentAll) return Failure::Socket;
    if (const auto self = Tools::ReadProcessUsage(Platform::CurrentProcessId())) {
      result_.loadgenCpuSeconds = self->cpuSeconds - loadgenCpuBefore_;
    }
    Summarise();
    return result_.badDatagrams > 0 ? Failure::NoAnswer : Failure::None;
  }

  const RunResult& Result() const { return result_; }

 private:
  bool OpenSockets() {
    const Platform::Ipv4Address local = Tools::MakeAddress(*Tools::ParseAddress("127.0.0.1"), 0);
    for (std::uint64_t i = 0; i < result_.load.players; ++i) {
      Player player;
      player.id = options_.firstID + i;
      player.socket = Platform::OpenSocket(Platform::SocketKind::Datagram);
      if (player.socket == Platform::kNoSocket) {
        std::cerr << "velantis-loadgen: cannot open socket " << i + 1 << " (error "
                  << Platform::LastSocketError() << ")" << std::endl;
        return false;
      }
      players_.push_back(player);
      if (!Platform::Bind(player.socket, local)) {
        std::cerr << "velantis-loadgen: cannot bind socket " << i + 1 << " (error "
                  << Platform::LastSocketError() << ")" << std::endl;
        return false;
      }
    }
    return true;
  }

  bool Send(Player& player, MessageType type, const char* text, Vec2 position) {
    Packet packet;
    packet.Init(player.id, type, text, 0);
    packet.Body().position = position;
    packet.Body().playerUUID = player.id;
    packet.Header().messageNumber = messageNumber_;
    packet.Seal();
    if (Platform::SendTo(player.socket, packet.Bytes(), Packet::kSize, server_) <= 0) {
      std::cerr << "velantis-loadgen: sending to " << Tools::FormatAddress(server_)
                << " failed (error " << Platform::LastSocketError() << ")" << std::endl;
      return false;
    }
    ++messageNumber_;
    return true;
  }

  // Paced, because a burst of hundreds of packets would overflow the server's receive buffer.
  bool SendToAll(MessageType type) {
    for (std::size_t i = 0; i < players_.size(); ++i) {
      if (!Send(players_[i], type, "loadgen", {})) return false;
      if (i % 8 == 7) Pump(players_.size() - 1, 2);
    }
    return true;
  }

  Failure ConnectAll() {
    const auto start = Tools::Clock::now();
    auto nextProgress = start + std::chrono::seconds(1);
    for (std::size_t k = 0; k < players_.size(); ++k) {
      Player& player = players_[k];
      // A second try re-registers from scratch: if only the Welcome was lost, a bare Connect
      // would just be answered with "already connected" and nothing else.
      for (int attempt = 0; attempt < 2 && !player.welcomed; ++attempt) {
        if (attempt > 0 && !Send(player, MessageType::Disconnect, "loadgen", {})) {
          return Failure::Socket;
        }
        if (!Send(player, MessageType::Connect, "loadgen", {})) return Failure::Socket;
        const auto deadline =
            Tools::Clock::now() + std::chrono::milliseconds(kConnectWaitMilliseconds);
        while (!player.welcomed && Tools::Clock::now() < deadline) Pump(k, 50);
      }
      if (!player.welcomed) {
        std::cerr << "velantis-loadgen: player " << k + 1 << " (id " << player.id
                  << ") got no Welcome from " << Tools::FormatAddress(server_)
                  << "; is the server running?" << std::endl;
        result_.connectSeconds = Tools::SecondsBetween(start, Tools::Clock::now());
        return Failure::NoAnswer;
      }
      if (k + 1 < players_.size() &&
          Tools::SecondsBetween(start, Tools::Clock::now()) > kMaxConnectSeconds) {
        std::cerr << "velantis-loadgen: only " << k + 1 << " of " << players_.size()
                  << " players were welcomed within " << kMaxConnectSeconds << " s by "
                  << Tools::FormatAddress(server_) << "; giving up" << std::endl;
        result_.connectSeconds = Tools::SecondsBetween(start, Tools::Clock::now());
        return Failure::NoAnswer;
      }
      if (options_.progress && Tools::Clock::now() >= nextProgress) {
        nextProgress += std::chrono::seconds(1);
        std::cerr << "connecting: " << k + 1 << "/" << players_.size() << " players welcomed"
                  << std::endl;
      }
    }
    result_.connected = true;
    result_.connectSeconds = Tools::SecondsBetween(start, Tools::Clock::now());
    return Failure::None;
  }

  bool SendUpdates() {
    if (options_.serverPid) result_.serverBefore = Tools::ReadProcessUsage(*options_.serverPid);
    if (const auto self = Tools::ReadProcessUsage(Platform::CurrentProcessId())) {
      loadgenCpuBefore_ = self->cpuSeconds;
    }
    dropsBefore_ = Tools::ReadUdpDrops();
    runStart_ = Tools::Clock::now();
    // Different in every run, so that a late relay of an earlier run is never counted.
    runTag_ = static_cast<std::uint64_t>(runStart_.time_since_epoch().count()) % 1'000'000'007ULL;
    const auto period = std::chrono::duration_cast<Tools::Clock::duration>(
        std::chrono::duration<double>(1.0 / result_.load.rate));
    const auto sendEnd = runStart_ + std::chrono::duration_cast<Tools::Clock::duration>(
                                         std::chrono::duration<double>(result_.load.duration));
    // Spread the players over the period instead of sending all of them at once.
    for (std::size_t i = 0; i < players_.size(); ++i) {
      players_[i].nextSend =
          runStart_ + period * static_cast<long>(i) / static_cast<long>(players_.size());
    }
    auto nextProgress = runStart_ + std::chrono::seconds(1);
    char text[64];
    for (;;) {
      auto now = Tools::Clock::now();
      if (now >= sendEnd) break;
      auto wake = sendEnd;
      for (Player& player : players_) {
        while (player.nextSend <= now && player.nextSend < sendEnd) {
          const auto sentAt = Tools::Clock::now();
          const auto nanoseconds =
              std::chrono::duration_cast<std::chrono::nanoseconds>(sentAt - runStart_).count();
          std::snprintf(text, sizeof(text), "lg %llu %lld",
                        static_cast<unsigned long long>(runTag_),
                        static_cast<long long>(nanoseconds));
          const Vec2 position(static_cast<float>(player.id - options_.firstID),
                              static_cast<float>(result_.sent));
          if (!Send(player, MessageType::PlayerPositionUpdate, text, position)) {
            result_.sendSeconds = Tools::SecondsBetween(runStart_, Tools::Clock::now());
            return false;
          }
          ++result_.sent;
          player.nextSend += period;
        }
        wake = std::min(wake, player.nextSend);
      }
      now = Tools::Clock::now();
      if (now >= nextProgress) {
        nextProgress += std::chrono::seconds(1);
        if (options_.progress) PrintProgress(now);
      }
      wake = std::min(wake, nextProgress);
      const auto waitMicroseconds =
          std::chrono::duration_cast<std::chrono::microseconds>(wake - now).count();
      Pump(players_.size() - 1,
           waitMicroseconds <= 0 ? 0 : static_cast<int>((waitMicroseconds + 999) / 1000));
    }
    result_.sendSeconds = Tools::SecondsBetween(runStart_, Tools::Clock::now());
    return true;
  }

  void Drain() {
    const auto start = Tools::Clock::now();
    const auto limit = start + std::chrono::duration_cast<Tools::Clock::duration>(
                                   std::chrono::duration<double>(options_.drain));
    const auto quiet = std::chrono::milliseconds(500);
    lastRelay_ = std::max(lastRelay_, start);
    for (;;) {
      const auto now = Tools::Clock::now();
      if (now >= limit || now - lastRelay_ >= quiet) break;
      if (result_.received >= result_.sent * players_.size()) break;
      Pump(players_.size() - 1, 20);
    }
    result_.drainSeconds = Tools::SecondsBetween(start, Tools::Clock::now());
  }

  // Waits up to `timeoutMilliseconds` for traffic on one player's socket, then empties them all.
  void Pump(std::size_t watched, int timeoutMilliseconds) {
    Platform::WaitReadable(players_[watched].socket, timeoutMilliseconds);
    for (std::size_t i = 0; i < players_.size(); ++i) {
      while (Platform::WaitReadable(players_[i].socket, 0)) {
        Platform::Ipv4Address from;
        int fromLength = sizeof(from);
        const long size =
            Platform::ReceiveFrom(players_[i].socket, buffer_, sizeof(buffer_), from, fromLength);
        if (size < 0) break;  // Windows reports an earlier "port unreachable" this way
        Handle(players_[i], size);
      }
    }
  }

  void Handle(Player& player, long size) {
    const auto now = Tools::Clock::now();
    Tools::Decode(buffer_, size, received_);
    if (!received_.wholePacket || !received_.checksumOk) {
      ++result_.badDatagrams;
      return;
    }
    const Packet& packet = received_.packet;
    switch (packet.Header().messageType) {
      case MessageType::Welcome:
        if (!player.welcomed) ++result_.welcomed;
        player.welcomed = true;
        return;
      case MessageType::Connect:
        ++result_.announcements;
        return;
      case MessageType::PlayerPositionUpdate:
        break;
      default:
        ++result_.otherPackets;
        return;
    }
    std::uint64_t tag = 0;
    long long sentNanoseconds = 0;
    const std::string_view text = packet.MessageText();
    if (runTag_ == 0 || !ParseStamp(text, tag, sentNanoseconds) || tag != runTag_) {
      ++result_.otherPackets;
      return;
    }
    ++player.relays;
    ++result_.received;
    lastRelay_ = now;
    const auto latency =
        std::chrono::duration_cast<std::chrono::microseconds>(now - runStart_).count() -
        sentNanoseconds / 1000;
    if (latencies_.size() < kMaxLatencySamples) {
      latencies_.push_back(static_cast<std::uint32_t>(std::max<long long>(latency, 0)));
    }
  }

  void CountDrops() {
    const auto after = Tools::ReadUdpDrops();
    if (!dropsBefore_ || !after) return;
    const auto delta = [&](std::uint16_t port) -> std::uint64_t {
      const auto now = after->find(port);
      const auto then = dropsBefore_->find(port);
      const std::uint64_t before = then == dropsBefore_->end() ? 0 : then->second;
      return now == after->end() || now->second < before ? 0 : now->second - before;
    };
    result_.serverSocketDrops = delta(Platform::HostToNetwork16(server_.port));
    std::uint64_t ours = 0;
    for (const Player& player : players_) ours += delta(Platform::LocalPort(player.socket));
    result_.loadgenSocketDrops = ours;
  }

  static bool ParseStamp(std::string_view text, std::uint64_t& tag, long long& nanoseconds) {
    if (text.substr(0, 3) != "lg ") return false;
    text.remove_prefix(3);
    const char* end = text.data() + text.size();
    const auto [tagEnd, tagError] = std::from_chars(text.data(), end, tag);
    if (tagError != std::errc{} || tagEnd == end || *tagEnd != ' ') return false;
    const auto [stampEnd, stampError] = std::from_chars(tagEnd + 1, end, nanoseconds);
    return stampError == std::errc{} && stampEnd == end;
  }

  void PrintProgress(Tools::Clock::time_point now) {
    const std::uint64_t expected = result_.sent * players_.size();
    std::cerr << "[" << std::setw(4) << std::fixed << std::setprecision(0)
              << Tools::SecondsBetween(runStart_, now) << " s] " << result_.load.players
              << " players x " << result_.load.rate << " Hz: sent " << result_.sent
              << " updates, relays received " << result_.received << "/" << expected;
    if (expected > 0) {
      std::cerr << " (" << std::setprecision(1)
                << 100.0 * static_cast<double>(result_.received) / static_cast<double>(expected)
                << "%)";
    }
    std::cerr << std::endl;
  }

  void Summarise() {
    result_.expected = result_.sent * players_.size();
    if (result_.sendSeconds > 0) {
      result_.offeredUpdatesPerSecond = static_cast<double>(result_.sent) / result_.sendSeconds;
      result_.offeredRelaysPerSecond = static_cast<double>(result_.expected) / result_.sendSeconds;
      const double window = Tools::SecondsBetween(runStart_, std::max(lastRelay_, runStart_));
      if (window > 0) {
        result_.deliveredRelaysPerSecond = static_cast<double>(result_.received) / window;
      }
    }
    if (latencies_.empty()) return;
    const auto percentile = [this](double q) {
      const auto rank =
          static_cast<std::size_t>(std::ceil(q * static_cast<double>(latencies_.size())));
      const std::size_t index = rank == 0 ? 0 : rank - 1;
      std::nth_element(latencies_.begin(), latencies_.begin() + static_cast<long>(index),
                       latencies_.end());
      return static_cast<double>(latencies_[index]) / 1000.0;
    };
    result_.p50Milliseconds = percentile(0.50);
    result_.p99Milliseconds = percentile(0.99);
    result_.maxMilliseconds =
        static_cast<double>(*std::max_element(latencies_.begin(), latencies_.end())) / 1000.0;
  }

  const Options& options_;
  Platform::Ipv4Address server_;
  RunResult result_;
  std::vector<Player> players_;
  std::vector<std::uint32_t> latencies_;  // microseconds
  Tools::Received received_;
  std::byte buffer_[Tools::kReceiveCapacity];
  std::uint32_t messageNumber_ = 1;
  std::uint64_t runTag_ = 0;
  Tools::Clock::time_point runStart_;
  Tools::Clock::time_point lastRelay_;
  double loadgenCpuBefore_ = 0.0;
  std::optional<std::map<std::uint16_t, std::uint64_t>> dropsBefore_;
};

std::string Fixed(double value, int decimals) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(decimals) << value;
  return text.str();
}

std::string Optional(const std::optional<double>& value, int decimals) {
  return value ? Fixed(*value, decimals) : "-";
}

std::string JsonNumber(const std::optional<double>& value, int decimals) {
  return value ? Fixed(*value, decimals) : "null";
}

std::string JsonCount(const std::optional<std::uint64_t>& value) {
  return value ? std::to_string(*value) : "null";
}

std::string Json(const RunResult& r) {
  std::ostringstream json;
  const auto cpu = r.ServerCpuSeconds();
  json << "{\"players\": " << r.load.players << ", \"rate\": " << Fixed(r.load.rate, 2)
       << ", \"duration\": " << Fixed(r.load.duration, 2)
       << ", \"connected\": " << (r.connected ? "true" : "false")
       << ", \"welcomed\": " << r.welcomed << ", \"announcements\": " << r.announcements
       << ", \"connectSeconds\": " << Fixed(r.connectSeconds, 3)
       << ", \"sendSeconds\": " << Fixed(r.sendSeconds, 3)
       << ", \"drainSeconds\": " << Fixed(r.drainSeconds, 3) << ", \"sent\": " << r.sent
       << ", \"expected\": " << r.expected << ", \"received\": " << r.received
       << ", \"lost\": " << r.Lost() << ", \"lossPercent\": " << Fixed(r.LossPercent(), 3)
       << ", \"lossFree\": " << (r.LossFree() ? "true" : "false")
       << ", \"badDatagrams\": " << r.badDatagrams << ", \"otherPackets\": " << r.otherPackets
       << ", \"offeredUpdatesPerSecond\": " << Fixed(r.offeredUpdatesPerSecond, 1)
       << ", \"offeredRelaysPerSecond\": " << Fixed(r.offeredRelaysPerSecond, 1)
       << ", \"deliveredRelaysPerSecond\": " << Fixed(r.deliveredRelaysPerSecond, 1)
       << ", \"latencyP50Ms\": " << JsonNumber(r.p50Milliseconds, 3)
       << ", \"latencyP99Ms\": " << JsonNumber(r.p99Milliseconds, 3)
       << ", \"latencyMaxMs\": " << JsonNumber(r.maxMilliseconds, 3)
       << ", \"serverCpuSeconds\": " << JsonNumber(cpu, 2) << ", \"serverPeakKilobytes\": "
       << (r.serverAfter ? std::to_string(r.serverAfter->peakKilobytes) : "null")
       << ", \"serverResidentKilobytes\": "
       << (r.serverAfter ? std::to_string(r.serverAfter->residentKilobytes) : "null")
       << ", \"loadgenCpuSeconds\": " << Fixed(r.loadgenCpuSeconds, 2)
       << ", \"serverSocketDrops\": " << JsonCount(r.serverSocketDrops)
       << ", \"loadgenSocketDrops\": " << JsonCount(r.loadgenSocketDrops) << "}";
  return json.str();
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
  if (const auto cpu = r.ServerCpuSeconds()) {
    const double wall = r.sendSeconds + r.drainSeconds;
    row("server CPU during run (s)", Fixed(*cpu, 2));
    row("server CPU (% of one core)", wall > 0 ? Fixed(100.0 * *cpu / wall, 1) : "-");
    row("server peak memory VmHWM (kB)", std::to_string(r.serverAfter->peakKilobytes));
    row("server resident VmRSS (kB)", std::to_string(r.serverAfter->residentKilobytes));
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

int RunOnce(const Options& options, const Platform::Ipv4Address& server,
            const std::string& target) {
  Run run(options, server, {options.players, options.rate, options.duration.value_or(10.0)});
  const Failure failure = run.Execute();
  if (failure == Failure::Socket) return ExitCode(failure);
  if (options.json) {
    std::cout << "{\"target\": \"" << target << "\", \"run\": " << Json(run.Result()) << "}"
              << std::endl;
  } else {
    PrintTable(run.Result(), options, target);
  }
  return ExitCode(failure);
}

int FindCapacity(const Options& options, const Platform::Ipv4Address& server,
                 const std::string& target) {
  const double low = options.varyRate ? 0.1 : 1.0;
  const double high = options.varyRate ? kMaxRate : static_cast<double>(kMaxPlayers);
  const auto normalise = [&](double value) {
    value = std::clamp(value, low, high);
    return options.varyRate ? value : std::round(value);
  };
  const double duration = options.duration.value_or(5.0);
  const auto searchStart = Tools::Clock::now();
  std::vector<RunResult> runs;
  std::optional<double> bestValue, firstLossy;
  std::optional<std::size_t> bestIndex;
  Failure failure = Failure::None;

  const auto tryValue = [&](double value) {
    Load load{options.players, options.rate, duration};
    if (options.varyRate) {
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
    const double players = options.varyRate ? static_cast<double>(options.players) : value;
    const double estimate = duration + options.drain + 1.0 + players * players * 0.0005;
    return Tools::SecondsBetween(searchStart, Tools::Clock::now()) + estimate <= options.maxTime;
  };

  double value = normalise(options.start.value_or(options.varyRate ? 5.0 : 2.0));
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
    std::cout << "{\"target\": \"" << target << "\", \"vary\": \""
              << (options.varyRate ? "rate" : "players") << "\", \"runs\": [";
    for (std::size_t i = 0; i < runs.size(); ++i) {
      std::cout << (i == 0 ? "" : ", ") << Json(runs[i]);
    }
    std::cout << "], \"largestLossFree\": " << (best ? Json(*best) : "null") << "}" << std::endl;
  } else {
    PrintSearchTable(runs, best, options.varyRate, target);
  }
  bool bad = false;
  for (const RunResult& r : runs) bad = bad || r.badDatagrams > 0 || !r.connected;
  return bad ? Tools::kExitFailed : Tools::kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const auto exitCode = ParseOptions(argc, argv, options)) return *exitCode;

  const auto serverAddress = Tools::ParseAddress(options.server.c_str());
  if (!serverAddress) {
    return UsageError("'" + options.server + "' is not a dotted IPv4 address such as 127.0.0.1");
  }
  if (!Tools::IsLoopback(*serverAddress)) {
    return UsageError("refusing to load " + options.server +
                      ": only loopback addresses (127.x.x.x) may be targeted");
  }
  if (!Platform::StartSocketLibrary()) {
    std::cerr << "velantis-loadgen: cannot start the socket library (error "
              << Platform::LastSocketError() << ")" << std::endl;
    return Tools::kExitSocket;
  }
  const Platform::Ipv4Address server = Tools::MakeAddress(*serverAddress, options.port);
  const std::string target = Tools::FormatAddress(server);
  return options.findCapacity ? FindCapacity(options, server, target)
                              : RunOnce(options, server, target);
}
