#include <algorithm>
#include <array>
#include <chrono>
#include <string>
#include <vector>

#include "logs/LogsManager.h"
#include "net/Admission.h"
#include "net/NetworkingComponentClient.h"
#include "net/NetworkingComponentServer.h"
#include "net/Packet.h"
#include "net/RecentSends.h"
#include "net/ServerCounters.h"
#include "net/Snapshots.h"
#include "utils/Console.h"
#include "utils/MiscUtils.h"

namespace {

// Every packet the server sends leaves from its own socket, the one its players send to: a router
// that tracks connections lets a reply in only when it comes back from the address and port the
// player sent to. The receive thread is the only one that sends, so the socket needs no lock.
NetworkingComponentClient& ReplyClient(Platform::SocketHandle serverSocket) {
  thread_local NetworkingComponentClient toClient;
  [[maybe_unused]] thread_local const bool ready = toClient.Init(0, Orlin::Protocol::Udp);
  toClient.UseSocket(serverSocket);
  return toClient;
}

void SendTo(Packet& packet, Platform::SocketHandle serverSocket, const Orlin::Ipv4Address& to,
            std::uint64_t asClientID) {
  NetworkingComponentClient& toClient = ReplyClient(serverSocket);
  toClient.SetTargetAddress(to);
  const NetworkingComponentClient::SendingAs sender(asClientID);
  if (toClient.Send(packet)) {
    Bump(Counters().packetsSent);
    RecentSends::OfThisThread().Record(packet, to);
  } else {
    Bump(Counters().sendFailures);
  }
}

// A position update's copies, one per registered player in the registry's order, each stamped and
// sealed for sending. They are made before the update itself is verified, so that all their
// checksums and the update's are computed in one interleaved pass (Packet::ComputeChecksums).
struct Relay {
  // The first `count` are this update's. The rest stay made, as packets are cleared when they are
  // made and when they go: an update to fewer players than the last (one of a snapshot player,
  // whose text is old, goes to the classic players only) costs no kilobyte cleared per player.
  std::vector<Packet> copies;
  std::vector<Orlin::Ipv4Address> targets;
  std::size_t count = 0;
  std::vector<const Packet*> checksummed;
  std::vector<std::uint64_t> checksums;
  // Whether the copies belong to the packet being dispatched, numbered from `firstNumber`, for a
  // registry of `registrySize` players.
  bool prepared = false;
  std::size_t registrySize = 0;
  std::uint32_t firstNumber = 0;
};

Relay& PreparedRelay() {
  // Kept for the thread's life so that a relay allocates nothing once the registry stops growing.
  thread_local Relay relay;
  return relay;
}

// Whether snapshot players get `update` as a relay too: only for a new text, its position travels
// in their snapshots. An unregistered sender's (sources trusted) goes to everyone.
bool ToSnapshotPlayers(const Packet& update) {
  if (Snapshots::Players() == 0) return true;
  const auto& clients = NetworkingComponentServer::Clients();
  const auto sender = clients.find(update.Header().clientID);
  return sender == clients.end() || Snapshots::TextChanged(sender->second, update);
}

// Prepares the copies of `update` for every registered player that gets it. When `verifying` is
// given, its checksum is computed in the same pass and returned.
std::uint64_t PrepareRelay(const Packet& update, const Packet* verifying) {
  Relay& relay = PreparedRelay();
  const auto& clients = NetworkingComponentServer::Clients();
  const std::uint64_t id = update.Header().clientID;
  const bool toSnapshotPlayers = ToSnapshotPlayers(update);
  if (relay.copies.size() < clients.size()) {
    relay.copies.resize(clients.size());
    relay.targets.resize(clients.size());
  }
  relay.checksummed.clear();
  if (verifying != nullptr) relay.checksummed.push_back(verifying);
  std::size_t i = 0;
  for (const auto& [registeredID, player] : clients) {
    if (player.snapshots && !toSnapshotPlayers) continue;
    const Orlin::Ipv4Address clientSock = player.address;
    Packet& updatePosPacket = relay.copies[i];
    updatePosPacket = update;
    updatePosPacket.Body().playerUUID = id;
    relay.targets[i] = clientSock;
    relay.checksummed.push_back(&updatePosPacket);
    ++i;
  }
  relay.count = i;
  {
    const NetworkingComponentClient::SendingAs sender(id);
    NetworkingComponentClient::Stamp(relay.copies.data(), relay.count);
  }
  relay.checksums.resize(relay.checksummed.size());
  Packet::ComputeChecksums(relay.checksummed.data(), relay.checksummed.size(),
                           relay.checksums.data());
  const std::size_t firstCopy = verifying != nullptr ? 1 : 0;
  for (std::size_t k = 0; k < relay.count; ++k) {
    relay.copies[k].Header().checksum = relay.checksums[firstCopy + k];
  }
  relay.prepared = true;
  relay.registrySize = clients.size();
  relay.firstNumber = NetworkingComponentClient::MessageCounter();
  return verifying != nullptr ? relay.checksums[0] : 0;
}

// After the registry has shrunk far below what a relay once needed (a flood of Connects that then
// left), the room is given back; it grows again with the next relay.
void ReleaseUnusedRelayRoom(std::size_t players) {
  Relay& relay = PreparedRelay();
  if (relay.copies.capacity() <= 2 * std::max<std::size_t>(players, 64)) return;
  relay = Relay{};
}

void Report(LogRecord& record, const char* message) {
  Console::Progress("NetworkingComponentServer(): ", message);
  record.Add({"NetworkingComponentServer(): ", message, " \n"});
}

// A game client sends from a port of its own: never from a privileged port (below 1024, where the
// classic echo, chargen and daytime services answer whatever reaches them) and never from the game
// port itself, where another server would answer. A Connect from such a port is a forged source;
// registering it would make that service or server a player, to which every announcement and
// relay goes and from which its answers come back as new packets, for ever.
bool FromReservedPort(const Orlin::Ipv4Address& from) {
  const std::uint16_t port = Platform::HostToNetwork16(from.port);
  return port < 1024 || port == NetworkingComponentServer::OwnPort();
}

// On the console once per source, and at most a few times a second whatever the sources, so that a
// flood of forged Connects cannot flood the console too; the log records every one.
void ReportReservedPort(LogRecord& record, const Orlin::Ipv4Address& from) {
  const std::string source = Orlin::AddressText(from);
  record.Add({"NetworkingComponentServer(): Connect from ", source,
              " refused: game clients never send from that port. \n"});
  struct Source {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
  };
  thread_local std::array<Source, 64> reported{};
  thread_local std::size_t next = 0;
  thread_local auto second = std::chrono::steady_clock::time_point{};
  thread_local int linesThisSecond = 0;
  for (const Source& known : reported) {
    if (known.address == from.address && known.port == from.port) return;
  }
  const auto now = std::chrono::steady_clock::now();
  if (now - second >= std::chrono::seconds(1)) {
    second = now;
    linesThisSecond = 0;
  }
  if (++linesThisSecond > 5) return;
  reported[next] = Source{from.address, from.port};
  next = (next + 1) % reported.size();
  Console::Err("NetworkingComponentServer(): Connect from ", source,
               " refused: game clients never send from that port.");
}

bool SameAddress(const Orlin::Ipv4Address& first, const Orlin::Ipv4Address& second) {
  return first.address == second.address && first.port == second.port;
}

// The receive loop's clock for the datagram in hand; only the receive thread uses it.
std::uint64_t datagramMicroseconds = 0;

void UpdatePlayerGauge() {
  const std::size_t players = NetworkingComponentServer::Clients().size();
  Counters().registeredPlayers.store(players, std::memory_order_relaxed);
  ReleaseUnusedRelayRoom(players);
  Snapshots::Recount(NetworkingComponentServer::Clients());
}

// Whether a Connect gets snapshots: it asks, and the server ticks.
bool Granted(const Packet& connect) {
  return Snapshots::TickRate() != 0 && Snapshots::Asks(connect);
}

// The Welcome, which grants snapshots to a Connect that asked for them.
void SendWelcome(const Packet& connect, const Orlin::Ipv4Address& to, std::uint32_t entityID,
                 Platform::SocketHandle serverSocket) {
  Packet responsePacket;
  responsePacket.Init(0, MessageType::Welcome, "welcome", entityID);
  if (Granted(connect)) Snapshots::Grant(responsePacket);
  SendTo(responsePacket, serverSocket, to, 0);
}

// Sends `to` its own announcement and its Welcome, the two packets a newcomer gets.
void Welcome(const Packet& connect, const Orlin::Ipv4Address& to, std::uint32_t entityID,
             Platform::SocketHandle serverSocket) {
  const std::uint64_t id = connect.Header().clientID;
  Packet announcement = connect;
  announcement.Body().playerUUID = id;
  announcement.Body().entityID = entityID;
  Snapshots::Strip(announcement);
  SendTo(announcement, serverSocket, to, id);
  SendWelcome(connect, to, entityID, serverSocket);
}

// Whether the registry has room for a newcomer from `from`, which takes the place of any id
// already registered at its address. Looked for only when the registry is full.
bool HasRoomFor(const Orlin::Ipv4Address& from) {
  const auto& clients = NetworkingComponentServer::Clients();
  if (clients.size() < NetworkingComponentServer::MaxPlayers()) return true;
  return std::any_of(clients.begin(), clients.end(),
                     [&](const auto& entry) { return SameAddress(entry.second.address, from); });
}

// While the server drains on its way out, nobody new is registered: a newcomer's Connect and its
// proof are refused alike, and the players already there are served on.
bool RefusedWhileDraining(LogRecord& record) {
  if (NetworkingComponentServer::Admitting()) return false;
  Bump(Counters().connectsWhenDraining);
  Report(record, "Client refused: the server is draining.");
  return true;
}

// Sources believed: the Connect registers its source at once and is announced to every player.
void ConnectTrusted(const Packet& receivedPacket, const Orlin::Ipv4Address& from, LogRecord& record,
                    Platform::SocketHandle serverSocket) {
  auto& clients = NetworkingComponentServer::Clients();
  const std::uint64_t id = receivedPacket.Header().clientID;
  if (clients.contains(id)) {
    Bump(Counters().connectsRefused);
    Report(record, "Client already connected.");
    return;
  }
  if (RefusedWhileDraining(record)) return;
  if (clients.size() >= NetworkingComponentServer::MaxPlayers()) {
    Bump(Counters().connectsWhenFull);
    Report(record, "Client refused: the server is full.");
    return;
  }
  auto& player = clients.insert({id, from}).first->second;
  player.lastHeardMicroseconds = datagramMicroseconds;
  player.snapshots = Granted(receivedPacket);
  UpdatePlayerGauge();
  Report(record, "Client connected.");
  record.Write();

  const std::uint32_t entityID = NetworkingComponentServer::EntityOf(from, id);
  for (const auto& [registeredID, registered] : clients) {
    Packet newClientPacket = receivedPacket;
    newClientPacket.Body().playerUUID = id;
    newClientPacket.Body().entityID = entityID;
    Snapshots::Strip(newClientPacket);
    SendTo(newClientPacket, serverSocket, registered.address, id);
  }
  SendWelcome(receivedPacket, from, entityID, serverSocket);
}

void Connect(const Packet& receivedPacket, const Orlin::Ipv4Address& from, LogRecord& record,
             Platform::SocketHandle serverSocket) {
  auto& clients = NetworkingComponentServer::Clients();
  const std::uint64_t id = receivedPacket.Header().clientID;
  if (FromReservedPort(from)) {
    Bump(Counters().connectsFromReservedPort);
    ReportReservedPort(record, from);
    return;
  }
  if (NetworkingComponentServer::TrustSources()) {
    ConnectTrusted(receivedPacket, from, record, serverSocket);
    return;
  }
  // A game client's Connect carries no entity id (it has none before its Welcome); a server's
  // announcement always does. Answering one would let two servers, each registered at the other
  // by a forged Connect, bounce announcements. (The client library names its own id as
  // playerUUID in every packet, so that field cannot tell them apart.)
  if (receivedPacket.Body().entityID != 0) {
    Bump(Counters().connectsAnnouncement);
    Report(record, "Dropped: an announcement is not a Connect.");
    return;
  }
  const auto found = clients.find(id);
  if (found != clients.end() && !SameAddress(found->second.address, from)) {
    Bump(Counters().connectsRefused);
    Bump(Counters().wrongAddress);
    Report(record, "Client already connected.");
    return;
  }
  const bool registered = found != clients.end();
  if (!registered && RefusedWhileDraining(record)) return;
  if (!registered && !HasRoomFor(from)) {
    Bump(Counters().connectsWhenFull);
    Report(record, "Client refused: the server is full.");
    return;
  }
  // Until the address has proven that it receives, what goes to it is never more than twice what
  // came from it, and never more than a few answers a second: a forged source gains no loop.
  if (!ConnectAnswers::OfThisThread().Allow(from, datagramMicroseconds)) {
    Bump(Counters().connectsRateLimited);
    record.Add({"NetworkingComponentServer(): Dropped: too many Connects from the address. \n"});
    return;
  }
  // A registered player asking again lost its Welcome, or its client library reconnects: it gets
  // the same two packets again, with the same entity id.
  Report(record, registered ? "Client already connected." : "Client connected.");
  record.Write();
  const std::uint32_t entityID = NetworkingComponentServer::EntityOf(from, id);
  if (registered) {
    found->second.lastHeardMicroseconds = datagramMicroseconds;
    found->second.snapshots = Granted(receivedPacket);
    Snapshots::Recount(clients);
  } else {
    PendingConnects::OfThisThread().Keep(receivedPacket, from, entityID);
  }
  Welcome(receivedPacket, from, entityID, serverSocket);
}

void Disconnect(const Packet& receivedPacket, const Orlin::Ipv4Address& from, LogRecord& record) {
  auto& clients = NetworkingComponentServer::Clients();
  const auto found = clients.find(receivedPacket.Header().clientID);
  if (found == clients.end()) {
    Report(record, "Client is not connected.");
    return;
  }
  if (!NetworkingComponentServer::TrustSources() && !SameAddress(found->second.address, from)) {
    Bump(Counters().wrongAddress);
    Report(record, "Dropped: the id belongs to another address.");
    return;
  }
  clients.erase(found);
  UpdatePlayerGauge();
  Report(record, "Client disconnected.");
}

// Relayed to every registered player, the sender included.
void RelayPosition(const Packet& receivedPacket, LogRecord& record,
                   Platform::SocketHandle serverSocket) {
  record.Write();
  Relay& relay = PreparedRelay();
  const bool current = relay.prepared &&
                       relay.registrySize == NetworkingComponentServer::Clients().size() &&
                       relay.firstNumber == NetworkingComponentClient::MessageCounter();
  if (!current) PrepareRelay(receivedPacket, nullptr);
  relay.prepared = false;
  NetworkingComponentClient& toClient = ReplyClient(serverSocket);
  std::size_t sent = 0;
  {
    // Copies after a failed send are stamped afresh, in the sender's name too.
    const NetworkingComponentClient::SendingAs sender(receivedPacket.Header().clientID);
    sent = toClient.SendStamped(relay.copies.data(), relay.targets.data(), relay.count);
  }
  Bump(Counters().packetsSent, sent);
  Bump(Counters().sendFailures, relay.count - sent);
  RecentSends& recent = RecentSends::OfThisThread();
  for (std::size_t i = 0; i < relay.count; ++i) {
    recent.Record(relay.copies[i], relay.targets[i]);
  }
}

// An update whose sender is not registered, carrying the entity id its Welcome gave it at this
// address: the proof that the address receives. The sender is registered in place of any id its
// address had, announced to every other player, and its update relayed.
bool Admit(const Packet& update, const Orlin::Ipv4Address& from, LogRecord& record,
           Platform::SocketHandle serverSocket) {
  auto& clients = NetworkingComponentServer::Clients();
  const std::uint64_t id = update.Header().clientID;
  const std::uint32_t entityID = NetworkingComponentServer::EntityOf(from, id);
  if (update.Body().entityID != entityID) return false;
  if (RefusedWhileDraining(record)) return true;
  std::erase_if(clients,
                [&](const auto& entry) { return SameAddress(entry.second.address, from); });
  if (clients.size() >= NetworkingComponentServer::MaxPlayers()) {
    UpdatePlayerGauge();
    Bump(Counters().connectsWhenFull);
    Report(record, "Client refused: the server is full.");
    return true;
  }
  Packet announcement;
  if (!PendingConnects::OfThisThread().Take(from, id, entityID, announcement)) {
    // The Connect has left the cache (a flood of others): the update's text and position stand in.
    announcement = update;
    announcement.Header().messageType = MessageType::Connect;
  }
  auto& newcomer = clients.insert({id, from}).first->second;
  newcomer.lastHeardMicroseconds = datagramMicroseconds;
  newcomer.snapshots = Granted(announcement);
  Snapshots::Strip(announcement);
  UpdatePlayerGauge();
  Bump(Counters().admissions);
  Report(record, "Client admitted.");
  record.Write();

  announcement.Body().playerUUID = id;
  announcement.Body().entityID = entityID;
  for (const auto& [registeredID, player] : clients) {
    if (registeredID != id) SendTo(announcement, serverSocket, player.address, id);
  }
  RelayPosition(update, record, serverSocket);
  if (Snapshots::Players() != 0) Snapshots::Record(newcomer, update);
  return true;
}

void Position(const Packet& receivedPacket, const Orlin::Ipv4Address& from, LogRecord& record,
              Platform::SocketHandle serverSocket) {
  auto& clients = NetworkingComponentServer::Clients();
  const auto found = clients.find(receivedPacket.Header().clientID);
  if (found != clients.end() && SameAddress(found->second.address, from)) {
    found->second.lastHeardMicroseconds = datagramMicroseconds;
    RelayPosition(receivedPacket, record, serverSocket);
    if (Snapshots::Players() != 0) Snapshots::Record(found->second, receivedPacket);
    return;
  }
  if (NetworkingComponentServer::TrustSources()) {
    RelayPosition(receivedPacket, record, serverSocket);
    return;
  }
  if (found != clients.end()) {
    Bump(Counters().wrongAddress);
    Report(record, "Dropped: the id belongs to another address.");
    return;
  }
  if (Admit(receivedPacket, from, record, serverSocket)) return;
  Bump(Counters().updatesUnregistered);
  Report(record, "Dropped: the sender is not a registered player.");
}

}  // namespace

bool NetworkingComponentServer::VerifyReceived(Packet& receivedPacket,
                                               const Orlin::Ipv4Address& from,
                                               std::uint64_t& receivedChecksum) {
  // Verifying a position update reads all of its 1056 bytes, and so does sealing each of its
  // copies. Done in one interleaved pass, the processor overlaps the checksums' multiplications,
  // which the relay would otherwise pay for one copy after the other. So the copies are prepared
  // here, before the update is known to be good; a bad update just leaves them unused (prepared is
  // cleared), and nothing is sent before Dispatch. Only for an update that will be relayed, though:
  // a registered player's from its own address, so that junk costs no more than its checksum.
  PreparedRelay().prepared = false;
  const auto& clients = Clients();
  if (receivedPacket.Header().messageType != MessageType::PlayerPositionUpdate || clients.empty()) {
    return receivedPacket.Verify(receivedChecksum);
  }
  if (!TrustSources()) {
    const auto sender = clients.find(receivedPacket.Header().clientID);
    if (sender == clients.end() || !SameAddress(sender->second.address, from)) {
      return receivedPacket.Verify(receivedChecksum);
    }
  }
  receivedChecksum = receivedPacket.Header().checksum;
  receivedPacket.Header().checksum = 0;
  if (PrepareRelay(receivedPacket, &receivedPacket) == receivedChecksum) return true;
  PreparedRelay().prepared = false;
  return false;
}

void NetworkingComponentServer::SetDatagramTime(std::uint64_t microseconds) {
  datagramMicroseconds = microseconds;
}

void NetworkingComponentServer::ForgetIdlePlayers(std::uint64_t nowMicroseconds,
                                                  LogsManager& logs) {
  const std::uint64_t timeout = std::uint64_t{IdleTimeoutSeconds()} * 1000000;
  if (timeout == 0) return;
  thread_local std::string recordText;
  LogRecord record(logs, recordText);
  auto& clients = Clients();
  const std::size_t before = clients.size();
  for (auto player = clients.begin(); player != clients.end();) {
    std::uint64_t& lastHeard = player->second.lastHeardMicroseconds;
    // Players restored or registered without a clock start theirs now. A clock that went back
    // only delays the timeout.
    if (lastHeard == 0 || lastHeard > nowMicroseconds) lastHeard = nowMicroseconds;
    if (nowMicroseconds - lastHeard <= timeout) {
      ++player;
      continue;
    }
    player = clients.erase(player);
    Bump(Counters().playersTimedOut);
    Report(record, "Client timed out.");
  }
  if (clients.size() != before) UpdatePlayerGauge();
  record.Write();
}

void NetworkingComponentServer::Dispatch(Packet& receivedPacket, const Orlin::Ipv4Address& from,
                                         LogRecord& record, Platform::SocketHandle serverSocket) {
  switch (receivedPacket.Header().messageType) {
    case MessageType::Connect:
      Bump(Counters().connectMessages);
      Connect(receivedPacket, from, record, serverSocket);
      break;
    case MessageType::Disconnect:
      Bump(Counters().disconnectMessages);
      Disconnect(receivedPacket, from, record);
      break;
    case MessageType::PlayerPositionUpdate:
      Bump(Counters().positionMessages);
      Position(receivedPacket, from, record, serverSocket);
      break;
    default:
      Bump(Counters().unknownMessages);
      Console::Err("NetworkingComponent(): Default case triggered.");
      break;
  }
}
