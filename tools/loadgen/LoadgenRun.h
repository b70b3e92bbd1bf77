#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "common/ToolSupport.h"
#include "loadgen/LoadgenOptions.h"
#include "net/Packet.h"
#include "platform/platform.h"

namespace Loadgen {

// SIGINT or SIGTERM (Ctrl+C) ends the sending at once: the run drains, disconnects and reports
// what it measured, as if its duration were up, and a capacity search takes no further step. A
// script can so hold a load for as long as something else takes, and stop it then.
void EndOnSignals();
bool EndRequested();

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
  // Every datagram's UDP payload that reached the players while the updates were sent.
  std::uint64_t bytesReceived = 0;
  std::uint64_t snapshotsReceived = 0;
  double offeredUpdatesPerSecond = 0.0;
  double offeredRelaysPerSecond = 0.0;
  double deliveredRelaysPerSecond = 0.0;
  std::optional<double> p50Milliseconds, p99Milliseconds, maxMilliseconds;
  std::optional<Platform::ProcessStats> serverBefore, serverAfter;
  double loadgenCpuSeconds = 0.0;
  // Where datagrams were lost to full receive buffers, when the system tells.
  std::optional<std::uint64_t> serverSocketDrops, loadgenSocketDrops;

  std::uint64_t Lost() const { return expected > received ? expected - received : 0; }
  double LossPercent() const {
    return expected == 0 ? 0.0
                         : 100.0 * static_cast<double>(Lost()) / static_cast<double>(expected);
  }
  // Nothing dropped at the server's socket either: with snapshots a later position stands in for
  // a dropped update, so the relays alone would not show the server falling behind.
  bool LossFree() const {
    return connected && Lost() == 0 && sent > 0 && serverSocketDrops.value_or(0) == 0;
  }
  double BytesPerPlayerPerSecond() const {
    return sendSeconds <= 0 || load.players == 0
               ? 0.0
               : static_cast<double>(bytesReceived) / sendSeconds /
                     static_cast<double>(load.players);
  }
  std::optional<double> ServerCpuSeconds() const {
    if (!serverBefore || !serverAfter) return {};
    return serverAfter->cpuSeconds - serverBefore->cpuSeconds;
  }
};

struct Player {
  Platform::SocketHandle socket = Platform::kNoSocket;
  std::uint64_t id = 0;
  bool welcomed = false;
  bool asksSnapshots = false;
  // The Welcome's entity id, which every update carries: it proves the player's address.
  std::uint32_t entity = 0;
  std::uint64_t relays = 0;
  Tools::Clock::time_point nextSend;
  // Snapshot mode: the updates this player sent (their numbers in the run), and for each other
  // player the newest of its updates this one has seen.
  std::vector<std::uint32_t> sentUpdates;
  std::vector<std::int64_t> newestSeen;
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
    for (std::size_t i = 0; i < slots_.size(); ++i) {
      slots_[i].buffer = buffers_[i];
      slots_[i].capacity = sizeof(buffers_[i]);
    }
  }
  ~Run() {
    for (const Player& player : players_) Platform::CloseSocket(player.socket);
  }
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  Failure Execute();

  const RunResult& Result() const { return result_; }

 private:
  bool OpenSockets();
  bool Send(Player& player, MessageType type, const char* text, Vec2 position);
  bool SendToAll(MessageType type);
  Failure ConnectAll();
  bool SendUpdates();
  void Drain();
  void Pump(std::size_t watched, int timeoutMilliseconds);
  void Handle(Player& player, const void* data, long size);
  void HandleSnapshot(Player& player, const void* data, long size, Tools::Clock::time_point now);
  void CountSnapshotDeliveries();
  void Delivered(Player& player, std::uint64_t sender, std::int64_t number,
                 Tools::Clock::time_point now);
  void CountDrops();
  void PrintProgress(Tools::Clock::time_point now);
  void Summarise();

  const Options& options_;
  Platform::Ipv4Address server_;
  RunResult result_;
  std::vector<Player> players_;
  std::vector<std::uint32_t> latencies_;  // microseconds
  // Snapshot mode: when each update of the run left, by its number.
  std::vector<long long> sentNanoseconds_;
  Tools::Received received_;
  // What one system call receives from a player's socket: up to 32 datagrams.
  std::byte buffers_[32][Tools::kReceiveCapacity];
  std::array<Platform::IncomingDatagram, 32> slots_;
  std::uint32_t messageNumber_ = 1;
  std::uint64_t runTag_ = 0;
  Tools::Clock::time_point runStart_;
  // While the updates are sent: the bytes received then are the ones a second of play costs.
  bool sending_ = false;
  Tools::Clock::time_point lastRelay_;
  double loadgenCpuBefore_ = 0.0;
  std::optional<std::map<std::uint16_t, std::uint64_t>> dropsBefore_;
};

}  // namespace Loadgen
