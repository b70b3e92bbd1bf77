#include "loadgen/LoadgenRun.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <iomanip>
#include <iostream>
#include <span>
#include <string_view>

#include "Codec.h"
#include "ConnectMachine.h"

namespace Loadgen {
namespace {

// Enough for every relay the server can deliver in the longest run; beyond it latency is taken
// from the first samples only.
constexpr std::size_t kMaxLatencySamples = 8'000'000;
// A loaded server may take a while to answer: the first resend comes late, and a player gets
// about as long as two tries of two seconds each used to give it.
constexpr Velantis::ConnectMachine::Timing kConnectTiming{1000, 2000, 2, 4000};
// A server that answers, but too slowly to admit every player within this, is not worth loading.
constexpr double kMaxConnectSeconds = 60.0;

bool ParseStamp(std::string_view text, std::uint64_t& tag, long long& nanoseconds) {
  if (text.substr(0, 3) != "lg ") return false;
  text.remove_prefix(3);
  const char* end = text.data() + text.size();
  const auto [tagEnd, tagError] = std::from_chars(text.data(), end, tag);
  if (tagError != std::errc{} || tagEnd == end || *tagEnd != ' ') return false;
  const auto [stampEnd, stampError] = std::from_chars(tagEnd + 1, end, nanoseconds);
  return stampError == std::errc{} && stampEnd == end;
}

volatile std::sig_atomic_t endRequested = 0;

extern "C" void OnEndSignal(int) { endRequested = 1; }

}  // namespace

void EndOnSignals() {
  std::signal(SIGINT, OnEndSignal);
  std::signal(SIGTERM, OnEndSignal);
}

bool EndRequested() { return endRequested != 0; }

Failure Run::Execute() {
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
  if (options_.snapshots) CountSnapshotDeliveries();
  CountDrops();
  if (options_.serverPid) result_.serverAfter = Platform::ReadProcessStats(*options_.serverPid);
  // Over the same stretch as the server's, so that the two can be set side by side.
  if (const auto self = Platform::ReadProcessStats()) {
    result_.loadgenCpuSeconds = self->cpuSeconds - loadgenCpuBefore_;
  }
  if (!SendToAll(MessageType::Disconnect) || !sentAll) return Failure::Socket;
  Summarise();
  return result_.badDatagrams > 0 ? Failure::NoAnswer : Failure::None;
}

bool Run::OpenSockets() {
  const Platform::Ipv4Address local =
      Platform::MakeIpv4Address(*Tools::ParseAddress("127.0.0.1"), 0);
  for (std::uint64_t i = 0; i < result_.load.players; ++i) {
    Player player;
    player.id = options_.firstID + i;
    player.asksSnapshots = options_.snapshots && (!options_.mixed || i % 2 == 0);
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

bool Run::Send(Player& player, MessageType type, const char* text, Vec2 position) {
  Packet packet;
  const std::uint32_t capability =
      type == MessageType::Connect && player.asksSnapshots ? Velantis::Snapshot::kCapability : 0;
  Velantis::BuildPacket(packet, player.id, type, text, position, player.entity, messageNumber_,
                        nullptr, capability);
  if (Platform::SendTo(player.socket, packet.Bytes(), Packet::kSize, server_) <= 0) {
    std::cerr << "velantis-loadgen: sending to " << Tools::FormatAddress(server_)
              << " failed (error " << Platform::LastSocketError() << ")" << std::endl;
    return false;
  }
  ++messageNumber_;
  return true;
}

// Paced, because a burst of hundreds of packets would overflow the server's receive buffer.
bool Run::SendToAll(MessageType type) {
  for (std::size_t i = 0; i < players_.size(); ++i) {
    if (!Send(players_[i], type, "loadgen", {})) return false;
    if (i % 8 == 7) Pump(players_.size() - 1, 2);
  }
  return true;
}

Failure Run::ConnectAll() {
  const auto start = Tools::Clock::now();
  auto nextProgress = start + std::chrono::seconds(1);
  for (std::size_t k = 0; k < players_.size(); ++k) {
    Player& player = players_[k];
    // Resends and restarts (a Disconnect first, since a bare repeated Connect is not answered
    // when only the Welcome was lost) as the client library does them.
    const auto outcome =
        Velantis::ConnectDriver(kConnectTiming)
            .Run([&](MessageType type) { return Send(player, type, "loadgen", {}); },
                 [&](std::int64_t) {
                   if (!player.welcomed) Pump(k, 50);
                   return player.welcomed;
                 });
    if (outcome == Velantis::ConnectDriver::Outcome::SendFailed) return Failure::Socket;
    // A game client's first update follows its Welcome: it registers the player.
    if (outcome == Velantis::ConnectDriver::Outcome::Welcomed &&
        !Send(player, MessageType::PlayerPositionUpdate, "loadgen", {})) {
      return Failure::Socket;
    }
    if (outcome == Velantis::ConnectDriver::Outcome::GaveUp) {
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

bool Run::SendUpdates() {
  if (options_.serverPid) result_.serverBefore = Platform::ReadProcessStats(*options_.serverPid);
  if (const auto self = Platform::ReadProcessStats()) {
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
  for (Player& player : players_) player.newestSeen.assign(players_.size(), -1);
  sending_ = true;
  char text[64];
  for (;;) {
    auto now = Tools::Clock::now();
    if (now >= sendEnd || EndRequested()) break;
    auto wake = sendEnd;
    for (Player& player : players_) {
      while (player.nextSend <= now && player.nextSend < sendEnd) {
        const auto sentAt = Tools::Clock::now();
        const auto nanoseconds =
            std::chrono::duration_cast<std::chrono::nanoseconds>(sentAt - runStart_).count();
        std::snprintf(text, sizeof(text), "lg %llu %lld", static_cast<unsigned long long>(runTag_),
                      static_cast<long long>(nanoseconds));
        const Vec2 position(static_cast<float>(player.id - options_.firstID),
                            static_cast<float>(result_.sent));
        if (options_.snapshots) {
          // The text of the players' first update, every time, so that the position travels in
          // snapshots alone; the update's number (its y, exact in a float up to 2^24) finds its
          // send time.
          std::snprintf(text, sizeof(text), "loadgen");
          player.sentUpdates.push_back(static_cast<std::uint32_t>(result_.sent));
          sentNanoseconds_.push_back(nanoseconds);
        }
        if (!Send(player, MessageType::PlayerPositionUpdate, text, position)) {
          sending_ = false;
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
  sending_ = false;
  result_.sendSeconds = Tools::SecondsBetween(runStart_, Tools::Clock::now());
  return true;
}

void Run::Drain() {
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

// Waits up to `timeoutMilliseconds` for traffic on one player's socket, then empties them all,
// a batch of datagrams per system call, so that receiving every relay costs the load generator
// less than relaying it costs the server. A failed receive (Windows reports an earlier "port
// unreachable" this way) ends that socket's turn; a datagram too large for a buffer is skipped.
void Run::Pump(std::size_t watched, int timeoutMilliseconds) {
  Platform::WaitReadable(players_[watched].socket, timeoutMilliseconds);
  for (Player& player : players_) {
    long count = 0;
    do {
      count = Platform::ReceiveWaiting(player.socket, slots_.data(), slots_.size());
      for (const auto& slot : std::span(slots_.data(), count > 0 ? std::size_t(count) : 0)) {
        if (slot.size >= 0) Handle(player, slot.buffer, slot.size);
      }
    } while (count == static_cast<long>(slots_.size()));
  }
}

void Run::Handle(Player& player, const void* data, long size) {
  const auto now = Tools::Clock::now();
  if (sending_) result_.bytesReceived += static_cast<std::uint64_t>(size);
  if (options_.snapshots &&
      Velantis::LooksLikeSnapshot(static_cast<const std::byte*>(data), size)) {
    HandleSnapshot(player, data, size, now);
    return;
  }
  Tools::Decode(static_cast<const std::byte*>(data), size, received_);
  if (!received_.wholePacket || !received_.checksumOk) {
    ++result_.badDatagrams;
    return;
  }
  const Packet& packet = received_.packet;
  switch (packet.Header().messageType) {
    case MessageType::Welcome:
      if (!player.welcomed) ++result_.welcomed;
      player.welcomed = true;
      player.entity = packet.Body().entityID;
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
  if (options_.snapshots) {
    // A relay (to a classic player, or of a new text): its position counts as a snapshot's.
    if (runTag_ != 0 && packet.Body().position.y >= 0) {
      Delivered(player, packet.Body().playerUUID - options_.firstID,
                static_cast<std::int64_t>(packet.Body().position.y), now);
    }
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

// Each entry newer than what the player had seen of that player is a delivery: its latency is
// taken, and the updates it supersedes count as delivered too (CountSnapshotDeliveries).
void Run::HandleSnapshot(Player& player, const void* data, long size,
                         Tools::Clock::time_point now) {
  Velantis::Snapshot snapshot;
  if (!Velantis::DecodeSnapshot(static_cast<const std::byte*>(data), size, snapshot)) {
    ++result_.badDatagrams;
    return;
  }
  ++result_.snapshotsReceived;
  if (runTag_ == 0) return;
  for (std::size_t e = 0; e < snapshot.count; ++e) {
    const Velantis::Snapshot::Entry entry = snapshot.At(e);
    if (entry.y >= 0) {
      Delivered(player, entry.playerID - options_.firstID, static_cast<std::int64_t>(entry.y), now);
    }
  }
}

// Update `number` of player `sender` reached `player`, in a relay or a snapshot: when it is newer
// than what the player had seen of that sender, its latency is taken.
void Run::Delivered(Player& player, std::uint64_t sender, std::int64_t number,
                    Tools::Clock::time_point now) {
  if (player.newestSeen.empty() || sender >= players_.size() ||
      number >= static_cast<std::int64_t>(sentNanoseconds_.size()) ||
      number <= player.newestSeen[sender]) {
    return;
  }
  player.newestSeen[sender] = number;
  lastRelay_ = now;
  const long long latency =
      std::chrono::duration_cast<std::chrono::microseconds>(now - runStart_).count() -
      sentNanoseconds_[static_cast<std::size_t>(number)] / 1000;
  if (latencies_.size() < kMaxLatencySamples) {
    latencies_.push_back(static_cast<std::uint32_t>(std::max<long long>(latency, 0)));
  }
}

void Run::CountSnapshotDeliveries() {
  std::uint64_t delivered = 0;
  for (const Player& receiver : players_) {
    for (std::size_t k = 0; k < players_.size(); ++k) {
      const std::vector<std::uint32_t>& updates = players_[k].sentUpdates;
      const std::int64_t newest = receiver.newestSeen.empty() ? -1 : receiver.newestSeen[k];
      delivered +=
          static_cast<std::uint64_t>(std::upper_bound(updates.begin(), updates.end(), newest,
                                                      [](std::int64_t value, std::uint32_t update) {
                                                        return value < update;
                                                      }) -
                                     updates.begin());
    }
  }
  result_.received = delivered;
}

void Run::CountDrops() {
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

void Run::PrintProgress(Tools::Clock::time_point now) {
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

void Run::Summarise() {
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

}  // namespace Loadgen
