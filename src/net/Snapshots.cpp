#include "net/Snapshots.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

#include "net/NetworkingComponentClient.h"
#include "net/ServerCounters.h"
#include "utils/Console.h"
#include "utils/MiscUtils.h"

namespace {

// Set before serving, and by tests while a receive thread runs; both read on the receive thread.
std::atomic<unsigned> tickRate{30};
std::atomic<unsigned> interest{0};
std::atomic<std::size_t> snapshotPlayers{0};
// A tick's datagrams go out in slices spread over it, each to every kSlices-th snapshot player, so
// that the receive thread never stops reading for long: sending a whole tick at once to hundreds
// of players would keep it away long enough for the updates waiting to overflow the socket.
constexpr std::uint64_t kSlices = 8;
// The tick being gathered: a position recorded now goes out in its snapshot. `slice` is the part
// of it due next, and `sliceClock` counts slices (tick x kSlices + slice): the time a change is
// recorded in, so that every player gets it in its next kRepeats snapshots whatever its slice.
std::uint64_t tick = 1;
std::uint64_t slice = 0;
std::uint64_t sliceClock = kSlices;
std::uint64_t nextSliceMicroseconds = 0;

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
// checksum state after them, and each player's datagrams. With --interest, also the known
// positions and each one's distance to the recipient in hand, the candidates in the order the
// nearest are chosen in, and which of them are the recipient's nearest (marked with its stamp).
struct TickBuffers {
  std::vector<std::byte> entries;
  std::vector<std::byte> parts;
  std::vector<std::uint64_t> partHashes;
  std::vector<std::byte> datagrams;
  std::vector<Platform::OutgoingDatagram> outgoing;
  std::vector<Orlin::Ipv4Address> targets;
  std::vector<std::uint64_t> ids;
  std::vector<Vec2> positions;
  std::vector<float> distances;
  std::vector<std::uint32_t> order;
  std::vector<std::uint64_t> nearestStamps;
  std::uint64_t stamp = 0;
};

// Every player whose position is known, in id order, `everyone` or not only those that moved in
// the last few ticks: their entries, and with `keep` their ids and positions too.
std::size_t Gather(TickBuffers& buffers, bool everyone, bool keep) {
  buffers.entries.clear();
  buffers.ids.clear();
  buffers.positions.clear();
  std::size_t count = 0;
  for (const auto& [id, player] : NetworkingComponentServer::Clients()) {
    if (player.changedAt == 0) continue;
    if (!everyone && sliceClock - player.changedAt >= Snapshots::kRepeats * kSlices) continue;
    buffers.entries.resize(buffers.entries.size() + Snapshots::kEntrySize);
    std::byte* entry = buffers.entries.data() + buffers.entries.size() - Snapshots::kEntrySize;
    Put(entry, id);
    Put(entry + 8, player.entityID);
    Put(entry + 12, player.position.x);
    Put(entry + 16, player.position.y);
    if (keep) {
      buffers.ids.push_back(id);
      buffers.positions.push_back(player.position);
    }
    ++count;
  }
  return count;
}

// A datagram's first kEntriesAt bytes, its checksum left zero.
void PutHeader(std::byte* datagram, std::size_t count, std::size_t part, std::size_t parts) {
  std::memset(datagram, 0, Snapshots::kEntriesAt);
  datagram[0] = std::byte{1};
  Put(datagram + 24, Snapshots::kMessageType);
  Put(datagram + 28, NetworkingComponentClient::MessageCounter()++);
  Put(datagram + 32, static_cast<std::uint32_t>(tick));
  Put(datagram + 36, static_cast<std::uint16_t>(count));
  Put(datagram + 38, static_cast<std::uint8_t>(part));
  Put(datagram + 39, static_cast<std::uint8_t>(parts));
}

// Puts the recipient's acknowledgement at `ackAt` and seals the datagram with the checksum, of
// which `hash` holds the state after the bytes before `ackAt`; returns the datagram's size.
std::size_t PutAckAndSeal(std::byte* datagram, std::size_t ackAt,
                          const NetworkingComponentServer::Player& recipient, std::uint64_t hash) {
  Put(datagram + ackAt, recipient.lastNumber);
  Put(datagram + ackAt + 4, recipient.ackBits);
  Put(datagram + 8, Fnv1a(datagram + ackAt, Snapshots::kAckSize, hash));
  return ackAt + Snapshots::kAckSize;
}

void Flush(Platform::SocketHandle serverSocket, TickBuffers& buffers) {
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

// One datagram for each snapshot player, built for it alone from the `count` gathered
// candidates: the `nearest` closest to its own position (itself among them), then the other
// candidates in id order from its cursor on, as many as the datagram holds.
void SendNearest(Platform::SocketHandle serverSocket, unsigned nearest, std::size_t count,
                 TickBuffers& buffers) {
  const std::size_t recipients = Snapshots::Players();
  buffers.datagrams.resize(recipients * Packet::kSize);
  buffers.targets.resize(recipients);
  buffers.outgoing.clear();
  buffers.distances.resize(count);
  buffers.nearestStamps.resize(count);
  if (buffers.order.size() != count) {
    buffers.order.resize(count);
    for (std::size_t k = 0; k < count; ++k) buffers.order[k] = static_cast<std::uint32_t>(k);
  }
  const std::size_t slots = Snapshots::kEntriesPerDatagram - nearest;
  std::size_t recipient = 0;
  std::size_t index = 0;
  for (auto& [id, player] : NetworkingComponentServer::Clients()) {
    if (!player.snapshots || index++ % kSlices != slice) continue;
    if (recipient == recipients) break;
    for (std::size_t k = 0; k < count; ++k) {
      const float dx = buffers.positions[k].x - player.position.x;
      const float dy = buffers.positions[k].y - player.position.y;
      const float distance = dx * dx + dy * dy;
      // Positions come from the players: one that is not a number is simply far away.
      buffers.distances[k] =
          std::isnan(distance) ? std::numeric_limits<float>::infinity() : distance;
    }
    // Any order of the candidates serves as a start, so the last recipient's is kept.
    std::nth_element(buffers.order.begin(), buffers.order.begin() + nearest, buffers.order.end(),
                     [&](std::uint32_t a, std::uint32_t b) {
                       return buffers.distances[a] < buffers.distances[b];
                     });
    const std::uint64_t stamp = ++buffers.stamp;
    std::byte* datagram = buffers.datagrams.data() + recipient * Packet::kSize;
    PutHeader(datagram, Snapshots::kEntriesPerDatagram, 0, 1);
    std::byte* entry = datagram + Snapshots::kEntriesAt;
    const auto putEntry = [&](std::size_t k) {
      std::memcpy(entry, buffers.entries.data() + k * Snapshots::kEntrySize, Snapshots::kEntrySize);
      entry += Snapshots::kEntrySize;
    };
    for (std::size_t k = 0; k < nearest; ++k) {
      buffers.nearestStamps[buffers.order[k]] = stamp;
      putEntry(buffers.order[k]);
    }
    const std::size_t start = static_cast<std::size_t>(
        std::lower_bound(buffers.ids.begin(), buffers.ids.end(), player.interestCursor) -
        buffers.ids.begin());
    std::size_t filled = 0;
    std::size_t step = 0;
    for (; step < count && filled < slots; ++step) {
      const std::size_t k = (start + step) % count;
      if (buffers.nearestStamps[k] == stamp) continue;
      putEntry(k);
      ++filled;
    }
    player.interestCursor = buffers.ids[(start + step) % count];
    const std::size_t ackAt = static_cast<std::size_t>(entry - datagram);
    buffers.targets[recipient] = player.address;
    const std::size_t size =
        PutAckAndSeal(datagram, ackAt, player, Fnv1a(datagram, ackAt, kFnvOffsetBasis));
    buffers.outgoing.push_back({datagram, size, &buffers.targets[recipient]});
    ++recipient;
  }
  Flush(serverSocket, buffers);
}

void Send(Platform::SocketHandle serverSocket, unsigned hz) {
  thread_local TickBuffers buffers;
  const unsigned nearest = Snapshots::Interest();
  if (nearest != 0) {
    // Everyone known is a candidate; when they fit in one datagram the shared one says it all.
    const std::size_t candidates = Gather(buffers, true, true);
    if (candidates > Snapshots::kEntriesPerDatagram) {
      SendNearest(serverSocket, nearest, candidates, buffers);
      return;
    }
  }
  // Everyone once a second, so that a player who stopped is mended after any loss.
  const std::size_t count = Gather(buffers, tick % hz == 0, false);
  const std::size_t parts =
      (count + Snapshots::kEntriesPerDatagram - 1) / Snapshots::kEntriesPerDatagram;
  if (parts == 0) return;
  // Every player's copy of a part is the same up to its last eight bytes, the acknowledgement: the
  // part is built and hashed once, and each copy costs a copy and eight bytes of hashing.
  buffers.parts.resize(parts * Packet::kSize);
  buffers.partHashes.resize(parts);
  for (std::size_t part = 0; part < parts; ++part) {
    std::byte* datagram = buffers.parts.data() + part * Packet::kSize;
    const std::size_t first = part * Snapshots::kEntriesPerDatagram;
    const std::size_t inPart = std::min(count - first, Snapshots::kEntriesPerDatagram);
    PutHeader(datagram, inPart, part, parts);
    std::memcpy(datagram + Snapshots::kEntriesAt,
                buffers.entries.data() + first * Snapshots::kEntrySize,
                inPart * Snapshots::kEntrySize);
    buffers.partHashes[part] =
        Fnv1a(datagram, Snapshots::kEntriesAt + inPart * Snapshots::kEntrySize, kFnvOffsetBasis);
  }
  const std::size_t recipients = Snapshots::Players();
  buffers.datagrams.resize(recipients * parts * Packet::kSize);
  buffers.targets.resize(recipients);
  buffers.outgoing.clear();
  std::size_t recipient = 0;
  std::size_t index = 0;
  for (const auto& [id, player] : NetworkingComponentServer::Clients()) {
    if (!player.snapshots || index++ % kSlices != slice) continue;
    if (recipient == recipients) break;
    buffers.targets[recipient] = player.address;
    for (std::size_t part = 0; part < parts; ++part) {
      std::byte* datagram = buffers.datagrams.data() + (recipient * parts + part) * Packet::kSize;
      const std::size_t inPart =
          std::min(count - part * Snapshots::kEntriesPerDatagram, Snapshots::kEntriesPerDatagram);
      const std::size_t ackAt = Snapshots::kEntriesAt + inPart * Snapshots::kEntrySize;
      std::memcpy(datagram, buffers.parts.data() + part * Packet::kSize, ackAt);
      const std::size_t size = PutAckAndSeal(datagram, ackAt, player, buffers.partHashes[part]);
      buffers.outgoing.push_back({datagram, size, &buffers.targets[recipient]});
    }
    ++recipient;
  }
  Flush(serverSocket, buffers);
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
void SetInterest(unsigned nearest) { interest.store(nearest, std::memory_order_relaxed); }
unsigned Interest() { return interest.load(std::memory_order_relaxed); }
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
  if (sender.changedAt == 0 || position.x != sender.position.x || position.y != sender.position.y ||
      entityID != sender.entityID) {
    sender.position = position;
    sender.entityID = entityID;
    sender.changedAt = sliceClock;
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
  return static_cast<int>(std::max<std::uint64_t>(1, 1000 / hz / kSlices));
}

void TickIfDue(std::uint64_t nowMicroseconds, Platform::SocketHandle serverSocket) {
  const unsigned hz = TickRate();
  if (Players() == 0 || hz == 0) {
    nextSliceMicroseconds = 0;
    return;
  }
  const std::uint64_t period = std::max<std::uint64_t>(1, 1000000 / hz / kSlices);
  // The first slice one period after the first snapshot player came, and again after the clock
  // jumped back.
  if (nextSliceMicroseconds == 0 || nextSliceMicroseconds > nowMicroseconds + 2 * period) {
    nextSliceMicroseconds = nowMicroseconds + period;
    return;
  }
  if (nowMicroseconds < nextSliceMicroseconds) return;
  // A late slice is not made up for with a burst: the next comes a period later.
  nextSliceMicroseconds += period;
  if (nextSliceMicroseconds <= nowMicroseconds) nextSliceMicroseconds = nowMicroseconds + period;
  Send(serverSocket, hz);
  ++sliceClock;
  if (++slice == kSlices) {
    slice = 0;
    ++tick;
  }
}

}  // namespace Snapshots
