#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "net/NetworkingComponent.h"
#include "utils/Vec2.h"

class LogRecord;
class LogsManager;
class Packet;

// The game server's socket: binds to a local IPv4 address or all of them, receives the players'
// packets on a logged thread of its own and answers them (admission, departure, position relay).
class NetworkingComponentServer : public Orlin::NetworkingComponent {
 public:
  // A registered player: the address its id belongs to, and when a valid packet of its own last
  // came from there (the receive loop's clock, microseconds since 1970; 0: not yet counted).
  struct Player {
    Player(const Orlin::Ipv4Address& registeredAddress) : address(registeredAddress) {}  // NOLINT
    Orlin::Ipv4Address address;
    std::uint64_t lastHeardMicroseconds = 0;
    // Whether it asked for snapshots (Snapshots.h), and what they carry of it: its latest position
    // and entity id, when they changed (in the slices of Snapshots.cpp), the hash of its last text,
    // and its latest update's message number with a bit for each of the 32 before it, acknowledged
    // in its snapshots.
    bool snapshots = false;
    Vec2 position{};
    std::uint32_t entityID = 0;
    std::uint64_t changedAt = 0;
    std::uint64_t textHash = 0;
    std::uint32_t lastNumber = 0;
    std::uint32_t ackBits = 0;
    // With --interest, where its next snapshot goes on through the far players: the first id
    // not yet sent to it in this round.
    std::uint64_t interestCursor = 0;
  };
  // Client id to its player, in ascending id order.
  using ClientRegistry = std::map<std::uint64_t, Player>;

  // Both clear the client registry; the destructor leaves the socket open.
  NetworkingComponentServer();
  ~NetworkingComponentServer() override;

  static NetworkingComponentServer& GetInstance();
  static ClientRegistry& Clients();

  // The most players registered at once: a Connect of a new id beyond it is answered with
  // nothing, as a Connect of an id already registered is. Bounds what one Connect costs (an
  // announcement to every player) and what one update costs (a copy to every player).
  static constexpr std::size_t kDefaultMaxPlayers = 1024;
  static void SetMaxPlayers(std::size_t count);
  static std::size_t MaxPlayers();
  // Whether every source address and id is believed, as on a closed network: a Connect registers
  // its source at once, and anyone's position update is relayed. Otherwise (the default) an
  // address is registered only once it has proven that it receives, by sending back in a position
  // update the entity id of its Welcome, and an id is served from its registered address only.
  static void SetTrustSources(bool trust);
  static bool TrustSources();
  // How long a registered player may stay silent before it is forgotten; 0: for ever.
  static constexpr std::uint32_t kDefaultIdleTimeoutSeconds = 30;
  static void SetIdleTimeout(std::uint32_t seconds);
  static std::uint32_t IdleTimeoutSeconds();
  // The entity id the Welcome gives `clientID` at `from`: a keyed hash of the three under a
  // secret drawn when the process starts, never 0. Only a party that receives at `from` learns it.
  static std::uint32_t EntityOf(const Orlin::Ipv4Address& from, std::uint64_t clientID);
  // The receive loop's clock for the datagram in hand (microseconds since 1970).
  static void SetDatagramTime(std::uint64_t microseconds);
  // Forgets the players silent for longer than the idle timeout, each with a console and log
  // line; `nowMicroseconds` is the receive loop's clock.
  static void ForgetIdlePlayers(std::uint64_t nowMicroseconds, LogsManager& logs);

  // The registry kept across a restart, in a file of one player a line in id order: saved when
  // the server stops, restored before it serves, without announcing anyone, so that every
  // player's updates are relayed on as before. A missing or damaged file, one that is not a
  // plain file (a link, a pipe, a device) or is larger than the player cap allows, and one naming
  // an address no Connect would be accepted from (a reserved port, `gamePort`) is reported and
  // the server starts with no players; a file is read once and then removed.
  static bool SaveClients(const std::string& path);
  static void RestoreClients(const std::string& path, std::uint16_t gamePort);
  // The port the game socket is bound to, in host byte order; 0 before Bind.
  static std::uint16_t OwnPort();
  // The game socket once bound (kNoSocket before), for the metrics' look at its figures.
  static Platform::SocketHandle GameSocket();
  // The receive buffer asked of the system for the game socket (0: the system's default).
  static void SetReceiveBufferRequest(int bytes);
  static int ReceiveBufferRequest();

  bool Init(Orlin::Protocol protocol);
  // Binds to the dotted IPv4 address ("0.0.0.0": every local address) and port, listens and
  // accepts in TCP mode, and starts receiving.
  bool Start(const char* address, std::int32_t port) override;
  bool Bind();
  bool Listen();
  bool StartAcceptThread();
  bool StartReceiving();
  // Ends the receive loop once it has finished the datagram in hand, so that its log record is
  // written whole, and waits for that (at most a second). True when the loop has ended.
  bool Stop();

  // Thread routines: the argument is the listening socket handle, or the receive thread's record.
  static std::uint32_t AcceptLoop(void* listeningSocket);
  static std::uint32_t ReceiveLoop(void* threadStruct);

  // Everything the receive thread does with one datagram of `size` bytes from `from`: report
  // and log its size, reject it unless it is one packet with a matching checksum, log its fields
  // and dispatch it. Replies leave from `serverSocket`, the socket the datagram came in on.
  static void HandleDatagram(const std::byte* data, std::size_t size,
                             const Orlin::Ipv4Address& from, LogsManager& logs,
                             Platform::SocketHandle serverSocket);

  // Verifies a received packet's checksum as Packet::Verify does. For a position update of a
  // registered player from its own address (of anyone when sources are trusted) it also prepares
  // Dispatch's relayed copies, stamped and sealed in the same pass as the verification.
  static bool VerifyReceived(Packet& receivedPacket, const Orlin::Ipv4Address& from,
                             std::uint64_t& receivedChecksum);

  // Handles one packet from `from` that VerifyReceived accepted; every line goes to the console
  // and to the datagram's log record, which is written before the first reply leaves
  // `serverSocket`.
  static void Dispatch(Packet& receivedPacket, const Orlin::Ipv4Address& from, LogRecord& record,
                       Platform::SocketHandle serverSocket);

  const Orlin::Ipv4Address& Address() const { return address; }

  // What a watchdog on another thread sees of the receive loop: whether it runs, whether it is
  // inside a datagram, and when it last finished one (the metrics' progress time, in microseconds
  // since the epoch; 0 before the first). A loop inside a datagram whose progress time stands
  // still for long is stuck (a log write that never returns, say); one waiting for the next
  // datagram is not.
  struct ReceiveProgress {
    bool running = false;
    bool inHand = false;
    std::uint64_t lastProgressMicroseconds = 0;
  };
  static ReceiveProgress Progress();

  // Whether the game is served now, as the health checks see it: the socket bound and the receive
  // loop running and not stuck, that is, not inside one datagram for more than a few seconds
  // (waiting for the next one is not stuck). Watchdogs on other threads call it often: it tells a
  // stuck loop by a progress time that stood still between its calls.
  enum class Serving { Yes, NotBound, Stuck, Stopped };
  static Serving ServingNow();

  // A draining server admits no new player: a Connect of an id not registered is answered with
  // nothing, while the registered players are served on. Once set, it stays so.
  static void StopAdmitting();
  static bool Admitting();

 private:
  struct ReceiveState {
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> running{false};
    std::atomic<bool> inHand{false};
  };
  static ReceiveState& Receiving();

  void ResetFields();

  Platform::ThreadHandle acceptThread;
  Orlin::Ipv4Address address;
  bool initialized;
};
