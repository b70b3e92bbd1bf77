// The floor as a server: per datagram the same system calls as velantis-server, and nothing else,
// so that velantis-loadgen can measure how many players the system calls alone allow.
//
// Per datagram: one receive, one console line, one log record of ten lines (open-append, write,
// close). A relayed update goes to all its recipients with one batch send (sendmmsg on Linux) from
// the floor server's own socket, then one console line per packet sent; the packets of a Connect
// go one sendto each, as the server's do. Lines are fixed texts; nothing is formatted and the
// received checksum is not verified. The packet is resealed once per datagram, because
// velantis-loadgen discards a packet whose checksum does not match; message numbers and entity ids
// are left as they came, since velantis-loadgen does not look at them, so every recipient gets the
// same bytes.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "FloorLines.h"
#include "net/Packet.h"
#include "platform/platform.h"

namespace {

constexpr const char* kHelp =
    R"help(velantis-floor-server: the fewest system calls a relay of this protocol makes.

Usage: velantis-floor-server [--port N] [--log-dir DIR]

Binds UDP on 127.0.0.1 and answers Connect, Disconnect and PlayerPositionUpdate the way
velantis-server does, with the same system calls per datagram: one console line, one log record
(opened for appending, written and closed), one batch send of a relayed update to all its
recipients from its own socket (one sendto each for a Connect's packets) and one console line per
packet sent. Runs until it is killed.

  --port N        UDP port (default 15000)
  --log-dir DIR   folder of the log file velantis-floor.logs (default: $XDG_DATA_HOME, else the
                  temporary folder)
  --help          show this text
)help";

constexpr std::size_t kReceiveCapacity = 1400;
constexpr std::size_t kChecksumOffset = 8;
constexpr std::size_t kClientIDOffset = 16;
constexpr std::size_t kTypeOffset = 24;
constexpr std::size_t kPlayerUUIDOffset = 1040;
constexpr std::byte kConnect{1};
constexpr std::byte kWelcome{2};
constexpr std::byte kDisconnect{3};
constexpr std::byte kPlayerPositionUpdate{5};

using FloorLines::kSentLine;
using FloorLines::kSizeLine;

// One write(2) per line, as the server's console lines make.
void ConsoleLine(std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

void Store64(std::byte* packet, std::size_t offset, std::uint64_t value) {
  std::memcpy(packet + offset, &value, sizeof(value));
}

std::uint64_t Load64(const std::byte* packet, std::size_t offset) {
  std::uint64_t value = 0;
  std::memcpy(&value, packet + offset, sizeof(value));
  return value;
}

void Seal(std::byte* packet) {
  Store64(packet, kChecksumOffset, 0);
  Store64(packet, kChecksumOffset,
          Packet::ComputeChecksum(packet, static_cast<std::int32_t>(Packet::kSize)));
}

// Every reply leaves from the floor server's own socket, as the server's do.
void Send(Platform::SocketHandle socket, const std::byte* packet, const Platform::Ipv4Address& to) {
  Platform::SendTo(socket, packet, Packet::kSize, to);
  ConsoleLine(kSentLine);
}

struct Options {
  std::uint16_t port = 15000;
  std::string logDir;
};

bool ParseOptions(int argc, char** argv, Options& options, int& exitCode) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view name = argv[i];
    if (name == "--help" || name == "-h") {
      std::fputs(kHelp, stdout);
      exitCode = 0;
      return false;
    }
    if ((name == "--port" || name == "--log-dir") && i + 1 < argc) {
      const char* value = argv[++i];
      if (name == "--log-dir") {
        options.logDir = value;
        continue;
      }
      char* end = nullptr;
      const unsigned long port = std::strtoul(value, &end, 10);
      if (end != value && *end == '\0' && port >= 1 && port <= 65535) {
        options.port = static_cast<std::uint16_t>(port);
        continue;
      }
    }
    std::fprintf(stderr, "velantis-floor-server: bad or incomplete option '%s'; try --help\n",
                 argv[i]);
    exitCode = 2;
    return false;
  }
  if (options.logDir.empty()) {
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    std::error_code error;
    options.logDir = dataHome != nullptr && dataHome[0] != '\0'
                         ? std::string(dataHome)
                         : std::filesystem::temp_directory_path(error).string();
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  int exitCode = 0;
  if (!ParseOptions(argc, argv, options, exitCode)) return exitCode;

  std::error_code error;
  std::filesystem::create_directories(options.logDir, error);
  const std::string logPath =
      (std::filesystem::path(options.logDir) / "velantis-floor.logs").string();
  if (Platform::WriteTextFile(logPath, "", 0, true) != Platform::WriteResult::Written) {
    std::fprintf(stderr, "velantis-floor-server: cannot write %s\n", logPath.c_str());
    return 1;
  }

  Platform::Ipv4Address local;
  local.family = Platform::kAddressFamilyIpv4;
  local.port = Platform::HostToNetwork16(options.port);
  Platform::ParseIpv4("127.0.0.1", local.address);
  if (!Platform::StartSocketLibrary()) return 3;
  const Platform::SocketHandle socket = Platform::OpenSocket(Platform::SocketKind::Datagram);
  if (socket == Platform::kNoSocket || !Platform::Bind(socket, local)) {
    std::fprintf(stderr, "velantis-floor-server: cannot bind UDP 127.0.0.1:%u (error %d)\n",
                 static_cast<unsigned>(options.port), Platform::LastSocketError());
    return 3;
  }
  Platform::IgnorePortUnreachable(socket);  // as the server does on its receiving socket
  std::fprintf(stderr, "velantis-floor-server: listening on UDP 127.0.0.1:%u, logs in %s\n",
               static_cast<unsigned>(options.port), logPath.c_str());

  std::map<std::uint64_t, Platform::Ipv4Address> clients;
  const std::string record = FloorLines::LogRecord();
  std::vector<Platform::OutgoingDatagram> batch;
  std::array<std::byte, kReceiveCapacity> buffer{};
  for (;;) {
    Platform::Ipv4Address from{};
    int fromLength = sizeof(from);
    const long size = Platform::ReceiveFrom(socket, buffer.data(), buffer.size(), from, fromLength);
    if (size < 0) continue;
    ConsoleLine(kSizeLine);
    Platform::WriteTextFile(logPath, record.data(), record.size(), true);
    if (static_cast<std::size_t>(size) != Packet::kSize) continue;

    std::byte* packet = buffer.data();
    const std::uint64_t clientID = Load64(packet, kClientIDOffset);
    const std::byte type = packet[kTypeOffset];
    if (type == kConnect) {
      if (!clients.insert({clientID, from}).second) continue;
      Seal(packet);
      for (const auto& [id, address] : clients) Send(socket, packet, address);
      packet[kTypeOffset] = kWelcome;
      Store64(packet, kClientIDOffset, 0);
      Seal(packet);
      Send(socket, packet, from);
    } else if (type == kDisconnect) {
      clients.erase(clientID);
    } else if (type == kPlayerPositionUpdate) {
      Store64(packet, kPlayerUUIDOffset, clientID);
      Seal(packet);
      batch.clear();
      for (const auto& [id, address] : clients) batch.push_back({packet, Packet::kSize, &address});
      for (std::size_t next = 0; next < batch.size();) {
        const long sent = Platform::SendBatch(socket, batch.data() + next, batch.size() - next);
        for (long i = 0; i < sent; ++i) ConsoleLine(kSentLine);
        next += sent > 0 ? static_cast<std::size_t>(sent) : 1;
      }
    }
  }
}
