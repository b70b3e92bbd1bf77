#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "ConnectMachine.h"
#include "Version.h"
#include "common/CommandLine.h"
#include "common/ToolSupport.h"
#include "net/NetworkingComponentClient.h"
#include "net/Packet.h"
#include "platform/platform.h"

namespace {

constexpr const char* kAbout = R"(: talk to a game server by hand or from a script.

Sends the packets you ask for from one local UDP socket, then listens on that same socket and
prints every packet that comes back, decoded. The server answers from its own port (15000) to the
address a player's first Connect came from, so replies only reach a client that keeps its local
port: pass the same --local-port to later runs to go on receiving as the same player.
)";

constexpr const char* kAfterOptions =
    R"(Output, one line per packet on standard output:
  sent Connect(1) clientID=7 messageNumber=1 text="hello" position=(0,0) entityID=0
  recv Welcome(2) from=127.0.0.1:41873 clientID=0 messageNumber=2 playerUUID=0 entityID=905
       text="welcome" position=(0,0) checksum=OK          (one line in reality)
Without --quiet the client component also prints its own "NetworkingComponent(): ..." lines.
Where the client is bound and what went wrong go to standard error.

Exit codes:
  0  everything was sent, and what was expected arrived with good checksums
  1  no reply: nothing arrived when something was expected (a Welcome after --connect, any
     packet when only listening, N packets with --expect), or a packet failed its checksum
  2  usage error: unknown option, bad number or address
  3  socket error: the socket could not be opened, the local port is in use, a send failed

Examples:
  velantis-client --id 7 --connect --local-port 40007 --expect 2
  velantis-client --id=7 --move=1.5,-2 --count=3 --local-port=40007 --expect=3
  velantis-client --id 7 --disconnect --local-port 40007 --wait 0)";

struct Options {
  bool connect = false;
  std::optional<unsigned> sendType;
  std::optional<Vec2> move;
  std::uint64_t count = 1;
  double rate = 10.0;
  bool disconnect = false;
  std::optional<std::uint64_t> id;
  std::optional<std::string> text;
  std::uint32_t entity = 0;
  std::string server = "127.0.0.1";
  std::uint16_t port = Tools::kDefaultServerPort;
  std::uint16_t localPort = 0;
  double wait = 1.0;
  std::optional<std::uint64_t> expect;
  bool quiet = false;

  bool AnyAction() const { return connect || sendType || move || disconnect; }
};

// Fills `options`; returns an exit code when the program should stop (help or a usage error).
std::optional<int> ParseOptions(int argc, char** argv, Options& options) {
  using namespace Tools;
  CLI::App app(std::string("velantis-client ") + VELANTIS_VERSION + kAbout, "velantis-client");
  SetUpCommandLine(app);
  app.footer(kAfterOptions);

  std::string group = "Actions, done in this order (with none, the client only listens)";
  CLI::Option* connect =
      app.add_flag("--connect", options.connect,
                   "send a Connect; the server registers this socket's address under --id, "
                   "announces the newcomer (a Connect copy) to every registered player, this one "
                   "included, and sends it a Welcome with its entity id. Without a Welcome the "
                   "Connect is resent, then restarted with a Disconnect, as the client library "
                   "does, for up to --wait seconds; the tries are counted on standard error")
          ->group(group);
  CLI::Option* sendType =
      AddValue(app, "--send-type", "N", options.sendType, WholeNumberIn(0, 255),
               "send one packet of message type N with --text and --entity, e.g. 4 to see the "
               "server reject a type it does not know")
          ->group(group);
  CLI::Option* move = AddValue(app, "--move", "X,Y", options.move, NumberPair(),
                               "send position updates at X,Y; the server relays each one to every "
                               "registered player, the sender included")
                          ->group(group);
  AddValue(app, "--count", "N", options.count, WholeNumberIn(0, 1'000'000),
           "how many position updates --move sends")
      ->group(group);
  AddValue(app, "--rate", "HZ", options.rate, NumberAbove(0.0, 10'000.0),
           "position updates per second")
      ->group(group);
  CLI::Option* disconnect =
      app.add_flag("--disconnect", options.disconnect,
                   "send a Disconnect; the server forgets --id and answers nothing")
          ->group(group);

  group = "Packet fields";
  CLI::Option* id = AddValue(app, "--id", "N", options.id,
                             WholeNumberIn(0, ~std::uint64_t{0}, "an unsigned 64-bit number"),
                             "client id stamped into every packet")
                        ->group(group);
  for (CLI::Option* action : {connect, sendType, move, disconnect}) action->needs(id);
  AddValue(app, "--text", "TEXT", options.text, AtMostCharacters(Packet::kMessageCapacity - 1),
           "message text; by default \"hello\" for Connect, \"Player position update\" for "
           "--move, empty otherwise")
      ->group(group);
  AddValue(app, "--entity", "N", options.entity,
           WholeNumberIn(0, 0xffffffffULL, "an unsigned 32-bit number"),
           "entity id for --move and --send-type; --move sends that of the Welcome\n"
           "--connect received unless given (a run that only moves needs it)")
      ->group(group);

  group = "Network";
  AddValue(app, "--server", "ADDR", options.server, DottedIpv4(), "server address")->group(group);
  AddValue(app, "--port", "N", options.port, WholeNumberIn(1, 65535), "server port")->group(group);
  AddValue(app, "--local-port", "N", options.localPort, WholeNumberIn(0, 65535),
           "local port to send from and listen on, 0 for any free port")
      ->group(group);
  AddValue(app, "--wait", "SECONDS", options.wait, NumberIn(0.0, 3600.0),
           "how long to listen after the last send, and to keep trying --connect")
      ->group(group);
  AddValue(app, "--expect", "N", options.expect, WholeNumberIn(0, 1'000'000),
           "stop listening once N packets have arrived; fewer is a failure")
      ->group(group);
  app.add_flag("--quiet", options.quiet,
               "send through the socket directly instead of the client component, so standard "
               "output holds only this tool's lines")
      ->group(group);
  AddHelpAndVersion(app, group);

  return ParseCommandLine(app, argc, argv);
}

// Sends as the game client does: either through the client component, which stamps the id and
// the process-wide message number, seals and prints its own console lines, or straight through
// the socket with the same stamping when the output has to stay clean.
class Sender {
 public:
  explicit Sender(bool quiet) : quiet_(quiet) {}

  bool Open(std::uint64_t clientID) {
    if (quiet_) {
      if (!Platform::StartSocketLibrary()) return false;
      socket_ = Platform::OpenSocket(Platform::SocketKind::Datagram);
      return socket_ != Platform::kNoSocket;
    }
    return component_.Init(clientID, Orlin::Protocol::Udp) && component_.CreateSocket();
  }

  Platform::SocketHandle Socket() const { return quiet_ ? socket_ : component_.Socket(); }

  bool Send(Packet& packet, const Platform::Ipv4Address& target, std::uint64_t clientID) {
    if (!quiet_) {
      component_.SetTargetAddress(target);
      return component_.Send(packet);
    }
    packet.Seal(clientID, messageNumber_);
    if (Platform::SendTo(socket_, packet.Bytes(), Packet::kSize, target) <= 0) return false;
    ++messageNumber_;
    return true;
  }

 private:
  bool quiet_;
  NetworkingComponentClient component_;
  Platform::SocketHandle socket_ = Platform::kNoSocket;
  std::uint32_t messageNumber_ = 1;
};

struct Tally {
  std::uint64_t packets = 0;
  std::uint64_t bad = 0;
  std::uint64_t welcomes = 0;
  // The entity id of the last Welcome: what this client's updates carry.
  std::uint32_t entity = 0;
};

// Prints every datagram that arrives until `deadline`, until `expected` packets have arrived, or
// with `untilWelcome` until a Welcome has.
void Listen(Platform::SocketHandle socket, Tools::Clock::time_point deadline,
            std::optional<std::uint64_t> expected, Tally& tally, bool untilWelcome = false) {
  std::byte buffer[Tools::kReceiveCapacity];
  Tools::Received received;
  const std::uint64_t welcomesBefore = tally.welcomes;
  for (;;) {
    if (expected && tally.packets >= *expected) return;
    if (untilWelcome && tally.welcomes > welcomesBefore) return;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Tools::Clock::now());
    const int timeout = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    if (!Platform::WaitReadable(socket, timeout)) return;
    Platform::Ipv4Address from;
    int fromLength = sizeof(from);
    const long size = Platform::ReceiveFrom(socket, buffer, sizeof(buffer), from, fromLength);
    if (size < 0) {
      // Windows reports an earlier send's "port unreachable" here; it is no datagram of ours.
      std::cerr << "velantis-client: receive failed with error " << Platform::LastSocketError()
                << std::endl;
      continue;
    }
    Tools::Decode(buffer, size, received);
    ++tally.packets;
    if (!received.wholePacket || !received.checksumOk) ++tally.bad;
    if (received.wholePacket && received.packet.Header().messageType == MessageType::Welcome) {
      ++tally.welcomes;
      tally.entity = received.packet.Body().entityID;
    }
    std::cout << Tools::Describe(received, from) << std::endl;
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (const auto exitCode = ParseOptions(argc, argv, options)) return *exitCode;

  // Checked while parsing the options.
  const auto serverAddress = Tools::ParseAddress(options.server.c_str());
  if (!serverAddress) return Tools::kExitUsage;
  const Platform::Ipv4Address server = Platform::MakeIpv4Address(*serverAddress, options.port);
  const std::uint64_t id = options.id.value_or(0);

  Sender sender(options.quiet);
  if (!sender.Open(id)) {
    std::cerr << "velantis-client: cannot open a UDP socket (error " << Platform::LastSocketError()
              << ")" << std::endl;
    return Tools::kExitSocket;
  }
  // A loopback server only ever answers loopback addresses; any other needs the wildcard.
  std::uint32_t localAddress = 0;
  if (Tools::IsLoopback(*serverAddress)) localAddress = *Tools::ParseAddress("127.0.0.1");
  const Platform::Ipv4Address local = Platform::MakeIpv4Address(localAddress, options.localPort);
  if (!Platform::Bind(sender.Socket(), local)) {
    std::cerr << "velantis-client: cannot bind " << Tools::FormatAddress(local) << " (error "
              << Platform::LastSocketError() << "); is the port in use by another program?"
              << std::endl;
    return Tools::kExitSocket;
  }
  const Platform::Ipv4Address bound =
      Platform::MakeIpv4Address(localAddress, Platform::LocalPort(sender.Socket()));
  std::cerr << "velantis-client: listening on " << Tools::FormatAddress(bound) << ", server "
            << Tools::FormatAddress(server) << std::endl;

  Tally tally;
  const auto send = [&](MessageType type, const char* defaultText, Vec2 position,
                        std::uint32_t entity) {
    Packet packet;
    packet.Init(id, type, options.text ? options.text->c_str() : defaultText, entity);
    packet.Body().position = position;
    if (!sender.Send(packet, server, id)) {
      std::cerr << "velantis-client: sending to " << Tools::FormatAddress(server)
                << " failed (error " << Platform::LastSocketError() << ")" << std::endl;
      return false;
    }
    std::cout << "sent " << Tools::TypeName(type) << " clientID=" << id
              << " messageNumber=" << packet.Header().messageNumber
              << " text=" << Tools::Quoted(packet.MessageText()) << " position=(" << position.x
              << "," << position.y << ") entityID=" << entity << std::endl;
    // Print what already came back, so that replies appear next to what caused them.
    Listen(sender.Socket(), Tools::Clock::now(), {}, tally);
    return true;
  };

  if (options.connect) {
    // As a game connects: the client library's connect logic decides when to resend the Connect
    // and when to start again with a Disconnect, within --wait.
    Velantis::ConnectMachine::Timing timing;
    timing.giveUpMs = static_cast<std::uint32_t>(options.wait * 1000.0);
    Velantis::ConnectDriver driver(timing);
    const auto outcome = driver.Run(
        [&](MessageType type) {
          return send(type, type == MessageType::Connect ? "hello" : "", {}, 0);
        },
        [&](std::int64_t dueMs) {
          const auto due = Tools::Clock::time_point(std::chrono::milliseconds(dueMs));
          if (tally.welcomes == 0) Listen(sender.Socket(), due, {}, tally, true);
          return tally.welcomes > 0;
        });
    if (outcome == Velantis::ConnectDriver::Outcome::SendFailed) return Tools::kExitSocket;
    if (outcome == Velantis::ConnectDriver::Outcome::GaveUp) {
      std::cerr << "velantis-client: no Welcome after " << driver.Tries() << " Connect(s) ("
                << driver.Restarts() << " restart(s)) in " << options.wait
                << " s; is a server listening on " << Tools::FormatAddress(server) << "?"
                << std::endl;
      return Tools::kExitFailed;
    }
    std::cerr << "velantis-client: welcomed after " << driver.Tries() << " Connect(s) ("
              << driver.Restarts() << " restart(s))" << std::endl;
  }
  if (options.sendType &&
      !send(static_cast<MessageType>(*options.sendType), "", {}, options.entity)) {
    return Tools::kExitSocket;
  }
  if (options.move) {
    const auto interval = std::chrono::duration_cast<Tools::Clock::duration>(
        std::chrono::duration<double>(1.0 / options.rate));
    auto due = Tools::Clock::now();
    for (std::uint64_t i = 0; i < options.count; ++i) {
      if (i > 0) {
        due += interval;
        Listen(sender.Socket(), due, {}, tally);
      }
      // The server registers this address once an update carries its Welcome's entity id.
      const std::uint32_t entity = options.entity != 0 ? options.entity : tally.entity;
      if (!send(MessageType::PlayerPositionUpdate, "Player position update", *options.move,
                entity)) {
        return Tools::kExitSocket;
      }
    }
  }
  if (options.disconnect && !send(MessageType::Disconnect, "", {}, 0)) return Tools::kExitSocket;

  const auto waitFor = std::chrono::duration_cast<Tools::Clock::duration>(
      std::chrono::duration<double>(options.wait));
  Listen(sender.Socket(), Tools::Clock::now() + waitFor, options.expect, tally);

  bool failed = tally.bad > 0;
  if (tally.bad > 0) {
    std::cerr << "velantis-client: " << tally.bad << " datagram(s) failed verification"
              << std::endl;
  }
  if (options.expect && tally.packets < *options.expect) {
    std::cerr << "velantis-client: expected " << *options.expect << " packet(s), got "
              << tally.packets << std::endl;
    failed = true;
  } else if (!options.expect && options.connect && tally.welcomes == 0) {
    std::cerr << "velantis-client: no Welcome arrived; is a server listening on "
              << Tools::FormatAddress(server) << "?" << std::endl;
    failed = true;
  } else if (!options.expect && !options.AnyAction() && tally.packets == 0) {
    std::cerr << "velantis-client: nothing arrived" << std::endl;
    failed = true;
  }
  return failed ? Tools::kExitFailed : Tools::kExitOk;
}
