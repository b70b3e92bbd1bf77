#include <array>
#include <chrono>
#include <mutex>
#include <string>
#include <string_view>

#include "logs/LogsManager.h"
#include "logs/ThreadsLogs.h"
#include "net/NetworkingComponentServer.h"
#include "net/Packet.h"
#include "net/RecentSends.h"
#include "net/ServerCounters.h"
#include "net/Snapshots.h"
#include "utils/Console.h"

namespace {

constexpr std::size_t kReceiveBufferSize = 1400;

// Control characters become escapes so that a client's text can never start a line of its own
// in the log; the backslash is doubled so the escaping can be undone. Everything else, UTF-8
// included, is kept as it came.
void AppendEscaped(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      out.append("\\\\");
    } else if (c == '\n') {
      out.append("\\n");
    } else if (c == '\r') {
      out.append("\\r");
    } else if (c == '\t') {
      out.append("\\t");
    } else if (byte < 0x20 || byte == 0x7f) {
      out.append("\\x");
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0xf]);
    } else {
      out.push_back(c);
    }
  }
}

void ReportCorrupted(LogRecord& record) {
  Console::Err("NetworkingComponent(): [CORRUPTED] The packet received generate a wrong checksum.");
  record.Add(
      {"NetworkingComponent(): [CORRUPTED] The packet received generate a wrong checksum. \n"});
}

void LogPacket(LogRecord& record, const Packet& packet, std::uint64_t receivedChecksum) {
  const PacketHeader& header = packet.Header();
  const PacketBody& body = packet.Body();
  record.Add({"========= [RECEIVE] ========== \n"});
  record.Add({"Checksum: ", Decimal(receivedChecksum), "\n"});
  record.Add({"From clientID: ", Decimal(header.clientID), "\n"});
  record.Add({"MessageNumber: ", Decimal(header.messageNumber), "\n"});
  record.Add({"MessageType: ", Decimal(static_cast<unsigned>(header.messageType)), "\n"});
  record.Add({"Message: "});
  AppendEscaped(record.Text(), packet.MessageText());
  record.Add({"\n"});
  record.Add({"PlayerUUID: ", Decimal(body.playerUUID), "\n"});
  record.Add({"EntityID: ", Decimal(body.entityID), "\n"});
  record.Add({"=================== \n"});
}

}  // namespace

NetworkingComponentServer::ReceiveState& NetworkingComponentServer::Receiving() {
  static ReceiveState state;
  return state;
}

NetworkingComponentServer::ReceiveProgress NetworkingComponentServer::Progress() {
  const ReceiveState& state = Receiving();
  return {state.running.load(std::memory_order_relaxed),
          state.inHand.load(std::memory_order_relaxed),
          Counters().receiveLoopProgressMicroseconds.load(std::memory_order_relaxed)};
}

NetworkingComponentServer::Serving NetworkingComponentServer::ServingNow() {
  // A loop inside the same datagram for this long is stuck.
  constexpr auto kStuckAfter = std::chrono::seconds(3);
  if (GameSocket() == Platform::kNoSocket) return Serving::NotBound;
  const ReceiveProgress progress = Progress();
  if (!progress.running) return Serving::Stopped;
  static std::mutex lock;
  static std::uint64_t progressSeen = 0;
  static auto movingSeen = std::chrono::steady_clock::time_point{};
  const std::lock_guard<std::mutex> hold(lock);
  const auto now = std::chrono::steady_clock::now();
  if (!progress.inHand || movingSeen == decltype(movingSeen){} ||
      progress.lastProgressMicroseconds != progressSeen) {
    progressSeen = progress.lastProgressMicroseconds;
    movingSeen = now;
    return Serving::Yes;
  }
  return now - movingSeen < kStuckAfter ? Serving::Yes : Serving::Stuck;
}

std::uint32_t NetworkingComponentServer::ReceiveLoop(void* threadStruct) {
  const auto& record = *static_cast<ThreadStruct*>(threadStruct);
  const auto socket = static_cast<Platform::SocketHandle>(record.parameter);
  LogsManager& logs = *record.logsManager;

  Orlin::Ipv4Address from{};
  int lenFrom = sizeof(from);
  std::array<std::byte, kReceiveBufferSize> buffer{};

  ReceiveState& state = Receiving();
  const std::atomic<bool>& stopRequested = state.stopRequested;
  // Wakes the loop about once a second when nothing arrives, so that silent players are forgotten
  // on time; during traffic they are looked for at most once a second too.
  // While snapshot players are registered it wakes for every slice of a tick instead.
  int receiveTimeoutMs = Snapshots::ReceiveTimeoutMs();
  Platform::SetReceiveTimeout(socket, receiveTimeoutMs);
  std::uint64_t nextSweep = 0;
  for (;;) {
    const long received =
        Platform::ReceiveFrom(socket, buffer.data(), buffer.size(), from, lenFrom);
    if (stopRequested.load(std::memory_order_relaxed)) break;
    const auto now =
        static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                       std::chrono::system_clock::now().time_since_epoch())
                                       .count());
    if (received >= 0) {
      state.inHand.store(true, std::memory_order_relaxed);
      SetDatagramTime(now);
      HandleDatagram(buffer.data(), static_cast<std::size_t>(received), from, logs, socket);
      state.inHand.store(false, std::memory_order_relaxed);
      Counters().receiveLoopProgressMicroseconds.store(now, std::memory_order_relaxed);
    } else if (received != Platform::kReceiveTimedOut) {
      const int error = Platform::LastSocketError();
      // A datagram too large for the buffer is one of the wrong size, but the system reports it
      // as a failed receive, and this line is what the server has always said of it.
      Bump(Platform::IsDatagramTooLarge(error) ? Counters().datagramsTooLarge
                                               : Counters().receiveErrors);
      Console::Progress("error", Decimal(error));
    }
    // An empty registry is not looked at: a loop that only wakes touches no shared state.
    if (now >= nextSweep) {
      if (Counters().registeredPlayers.load(std::memory_order_relaxed) != 0) {
        ForgetIdlePlayers(now, logs);
      }
      nextSweep = now + 1000000;
    }
    Snapshots::TickIfDue(now, socket);
    if (Snapshots::ReceiveTimeoutMs() != receiveTimeoutMs) {
      receiveTimeoutMs = Snapshots::ReceiveTimeoutMs();
      Platform::SetReceiveTimeout(socket, receiveTimeoutMs);
    }
  }
  Receiving().running.store(false);
  return 0;
}

void NetworkingComponentServer::HandleDatagram(const std::byte* data, std::size_t size,
                                               const Orlin::Ipv4Address& from, LogsManager& logs,
                                               Platform::SocketHandle serverSocket) {
  // Reused for every datagram of the thread, so that logging allocates nothing once warm.
  thread_local std::string recordText;
  thread_local Packet receivedPacket;
  // Every log line of the datagram goes into one record, written once: before the first reply
  // leaves (Dispatch sees to that), or at the end when nothing is sent.
  LogRecord record(logs, recordText);

  // The sizes shown are those actually received, and only a datagram of exactly one packet is
  // verified: no byte of an earlier datagram can take part.
  Console::Progress("NetworkingComponentServer(): Message of size ", Decimal(size),
                    " bytes received.");
  record.Add({"NetworkingComponent(): Message of size ", Decimal(size), " bytes received. \n"});
  if (size != Packet::kSize) {
    Bump(Counters().datagramsWrongSize);
    ReportCorrupted(record);
    record.Write();
    return;
  }
  receivedPacket.LoadBytes(data);
  if (RecentSends::OfThisThread().Repeats(receivedPacket, from)) {
    Bump(Counters().datagramsEchoed);
    Console::Progress(
        "NetworkingComponentServer(): Dropped: the packet repeats one just sent there.");
    record.Add(
        {"NetworkingComponentServer(): Dropped: the packet repeats one just sent there. \n"});
    record.Write();
    return;
  }
  std::uint64_t receivedChecksum = 0;
  if (!VerifyReceived(receivedPacket, from, receivedChecksum)) {
    Bump(Counters().datagramsBadChecksum);
    ReportCorrupted(record);
    record.Write();
    return;
  }
  Bump(Counters().datagramsValid);
  LogPacket(record, receivedPacket, receivedChecksum);
  Dispatch(receivedPacket, from, record, serverSocket);
  record.Write();
}
