#include "net/Snapshots.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string_view>
#include <vector>

#include "net/NetworkingComponentClient.h"
#include "net/ServerCounters.h"
#include "utils/Console.h"
#include "utils/MiscUtils.h"

namespace {

// Set before serving, and by tests while a receive thread runs; both read on the receive thread.
std::atomic<unsigned> tickRate{30};
std::atomic<std::size_t> snapshotPlayers{0};
// The tick being gathered: a position recorded now goes out in its snapshot.
std::uint64_t tick = 1;
std::uint64_t nextTickMicroseconds = 0;

constexpr std::uint64_t kFnvOffsetBasis = 14695981039346656037ull;

// FNV-1a 64 over `size` bytes, continuing from `hash`: the packets' checksum, taken in pieces.
std::uint64_t Fnv1a(const void* data, std::size_t size, std::uint64_t hash) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (std::size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 1099511628211ull;
  return hash;
}

std::uint64_t TextHash(std::string_view text) {
  // Never 0, which stands for a player none of whose text has been seen yet.
  return Fnv1a(text.data(), text.size(), kFnvOffsetBasis) | 1;
}

template <typename T>
void Put(std::byte* at, T value) {
  std::memcpy(at, &value, sizeof(value));
}

// What one tick sends: the entries shared by every snapshot player, each part's bytes and the
// checksum state after them, and each player's datagrams.
struct TickBuffers {
  std::vector<std::byte> entries;
  std::vector<std::byte> parts;
  std::vector<std::uint64_t> partHashes;
  std::vector<std::byte> datagrams;
  std::vector<Platform::OutgoingDatagram> outgoing;
  std::vector<Orlin::Ipv4Address> targets;
};

void Send(Platform::SocketHandle serverSocket, unsigned hz) {
  thread_local TickBuffers buffers;
  const auto& clients = NetworkingComponentServer::Clients();
  // Everyone once a second, so that a player who stopped is mended after any loss.
  const bool everyone = tick % hz == 0;
  std::vector<std::byte>& entries = buffers.entries;
  entries.clear();
  std::size_t count = 0;
  for (const auto& [id, player] : clients) {
    if (player.changedTick == 0) continue;
    if (!everyone && tick - player.changedTick >= Snapshots::kRepeats) continue;
    entries.resize(entries.size() + Snapshots::kEntrySize);
    std::byte* entry = entries.data() + entries.size() - Snapshots::kEntrySize;
    Put(entry, id);
    Put(entry + 8, player.entityID);
    Put(entry + 12, player.position.x);
    Put(entry + 16, player.position.y);
    ++count;
  }
  const std::size_t parts =
      (count + Snapshots::kEntriesPerDatagram - 1) / Snapshots::kEntriesPerDatagram;
  if (parts == 0) return;
  // Every player's copy of a part is the same up to its last eight bytes, the acknowledgement: the
  // part is built and hashed once, and each copy costs a copy and eight bytes of hashing.
  buffers.parts.resize(parts * Packet::kSize);
  buffers.partHashes.resize(parts);
  std::uint32_t& number = NetworkingComponentClient::MessageCounter();
  for (std::size_t part = 0; part < parts; ++part) {
    std::byte* datagram = buffers.parts.data() + part * Packet::kSize;
    const std::size_t first = part * Snapshots::kEntriesPerDatagram;
    const std::size_t inPart = std::min(count - first, Snapshots::kEntriesPerDatagram);
    std::memset(datagram, 0, Snapshots::kEntriesAt);
    datagram[0] = std::byte{1};
    Put(datagram + 24, Snapshots::kMessageType);
    Put(datagram + 28, number++);
    Put(datagram + 32, static_cast<std::uint32_t>(tick));
    Put(datagram + 36, static_cast<std::uint16_t>(inPart));
    Put(datagram + 38, static_cast<std::uint8_t>(part));
    Put(datagram + 39, static_cast<std::uint8_t>(parts));
    std::memcpy(datagram + Snapshots::kEntriesAt, entries.data() + first * Snapshots::kEntrySize,
                inPart * Snapshots::kEntrySize);
    buffers.partHashes[part] =
        Fnv1a(datagram, Snapshots::kEntriesAt + inPart * Snapshots::kEntrySize, kFnvOffsetBasis);
  }
  const std::size_t recipients = Snapshots::Players();
  buffers.datagrams.resize(recipients * parts * Packet::kSize);
  buffers.targets.resize(recipients);
  buffers.outgoing.clear();
  std::size_t recipient = 0;
  for (const auto& [id, player] : clients) {
    if (!player.snapshots) continue;
    if (recipient == recipients) break;
    buffers.targets[recipient] = player.address;
    for (std::size_t part = 0; part < parts; ++part) {
      std::byte* datagram = buffers.datagrams.data() + (recipient * parts + part) * Packet::kSize;
      const std::size_t inPart =
          std::min(count - part * Snapshots::kEntriesPerDatagram, Snapshots::kEntriesPerDatagram);
      const std::size_t ackAt = Snapshots::kEntriesAt + inPart * Snapshots::kEntrySize;
      std::memcpy(datagram, buffers.parts.data() + part * Packet::kSize, ackAt);
      Put(datagram + ackAt, player.lastNumber);
      Put(datagram + ackAt + 4, player.ackBits);
      Put(datagram + 8, Fnv1a(datagram + ackAt, 8, buffers.partHashes[part]));
      buffers.outgoing.push_back({datagram, ackAt + 8, &buffers.targets[recipient]});
    }
    ++recipient;
  }
  std::size_t done = 0;
  while (done < buffers.outgoing.size()) {
    const long sent = Platform::SendBatch(serverSocket, buffers.outgoing.data() + done,
                                          buffers.outgoing.size() - done);
    if (sent <= 0) {
      // The datagram the system refused is given up; the ones behind it still go.
      Bump(Counters().sendFailures);
      ++done;
      continue;
    }
    for (long k = 0; k < sent; ++k) {
      Console::Progress("NetworkingComponent(): Snapshot of size ",
                        Decimal(buffers.outgoing[done + static_cast<std::size_t>(k)].size),
                        " bytes sent.");
    }
    Bump(Counters().packetsSent, static_cast<std::uint64_t>(sent));
    done += static_cast<std::size_t>(sent);
  }
}

}  // namespace

namespace Snapshots {

bool Asks(const Packet& connect) {
  std::uint32_t value = 0;
  std::memcpy(&value, connect.Body().gap, sizeof(value));
  return value == kCapability;
}

void Grant(Packet& welcome) { std::memcpy(welcome.Body().gap, &kCapability, sizeof(kCapability)); }

void Strip(Packet& connect) { std::memset(connect.Body().gap, 0, sizeof(connect.Body().gap)); }

void SetTickRate(unsigned hz) { tickRate.store(hz, std::memory_order_relaxed); }
unsigned TickRate() { return tickRate.load(std::memory_order_relaxed); }

void Recount(const NetworkingComponentServer::ClientRegistry& clients) {
  std::size_t count = 0;
  for (const auto& entry : clients) count += entry.second.snapshots ? 1 : 0;
  snapshotPlayers.store(count, std::memory_order_relaxed);
}

std::size_t Players() { return snapshotPlayers.load(std::memory_order_relaxed); }

bool TextChanged(const NetworkingComponentServer::Player& sender, const Packet& update) {
  return TextHash(update.MessageText()) != sender.textHash;
}

void Record(NetworkingComponentServer::Player& sender, const Packet& update) {
  const Vec2 position = update.Body().position;
  const std::uint32_t entityID = update.Body().entityID;
  if (sender.changedTick == 0 || position.x != sender.position.x ||
      position.y != sender.position.y || entityID != sender.entityID) {
    sender.position = position;
    sender.entityID = entityID;
    sender.changedTick = tick;
  }
  sender.textHash = TextHash(update.MessageText());
  // The acknowledgement: the newest message number, and a bit for each of the 32 before it.
  const std::uint32_t number = update.Header().messageNumber;
  const auto ahead = static_cast<std::int32_t>(number - sender.lastNumber);
  if (sender.lastNumber == 0 && sender.ackBits == 0) {
    sender.lastNumber = number;
  } else if (ahead > 0) {
    if (ahead > 32) {
      sender.ackBits = 0;
    } else if (ahead == 32) {
      sender.ackBits = 1u << 31;
    } else {
      sender.ackBits = (sender.ackBits << ahead) | (1u << (ahead - 1));
    }
    sender.lastNumber = number;
  } else if (ahead < 0 && ahead >= -32) {
    sender.ackBits |= 1u << (-ahead - 1);
  }
}

int ReceiveTimeoutMs() {
  const unsigned hz = TickRate();
  if (Players() == 0 || hz == 0) return 1000;
  return static_cast<int>(std::max(1u, 1000 / hz));
}

void TickIfDue(std::uint64_t nowMicroseconds, Platform::SocketHandle serverSocket) {
  const unsigned hz = TickRate();
  if (Players() == 0 || hz == 0) {
    nextTickMicroseconds = 0;
    return;
  }
  const std::uint64_t period = 1000000 / hz;
  // The first tick one period after the first snapshot player came, and again after the clock
  // jumped back.
  if (nextTickMicroseconds == 0 || nextTickMicroseconds > nowMicroseconds + 2 * period) {
    nextTickMicroseconds = nowMicroseconds + period;
    return;
  }
  if (nowMicroseconds < nextTickMicroseconds) return;
  // A late tick is not made up for with a burst: the next comes a period later.
  nextTickMicroseconds += period;
  if (nextTickMicroseconds <= nowMicroseconds) nextTickMicroseconds = nowMicroseconds + period;
  Send(serverSocket, hz);
  ++tick;
}

}  // namespace Snapshots
