#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "net/Packet.h"
#include "platform/platform.h"

// What the command-line tools share: argument parsing, addresses, and packets turned into text.
namespace Tools {

// Exit codes both tools document in their --help.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;  // no reply, a bad packet, or loss where none was allowed
inline constexpr int kExitUsage = 2;
inline constexpr int kExitSocket = 3;

inline constexpr std::uint16_t kDefaultServerPort = 15000;
// Larger than a packet so that an oversized datagram is seen (and reported) instead of cut.
inline constexpr std::size_t kReceiveCapacity = 1400;

std::optional<std::uint64_t> ParseUnsigned(std::string_view text);
std::optional<double> ParseNumber(std::string_view text);
// "x,y" as two numbers.
std::optional<Vec2> ParsePair(std::string_view text);

// Dotted IPv4 text in network byte order, or nothing.
std::optional<std::uint32_t> ParseAddress(const char* text);
bool IsLoopback(std::uint32_t networkOrderAddress);
std::string FormatAddress(const Platform::Ipv4Address& address);

// "Connect(1)", or "Unknown(4)" for a type this system does not define.
std::string TypeName(MessageType type);

// A datagram as the receiving side sees it: whether it is exactly one packet and whether its
// checksum matches. `packet` keeps the remembered checksum in its header.
struct Received {
  Packet packet;
  long size = 0;
  bool wholePacket = false;
  bool checksumOk = false;
};
void Decode(const std::byte* data, long size, Received& received);

// One line with every field a tester looks at, checksum verdict last.
std::string Describe(const Received& received, const Platform::Ipv4Address& from);

// Text with quotes, backslashes and unprintable bytes escaped, so that a line stays one line.
std::string Quoted(std::string_view text);

using Clock = std::chrono::steady_clock;

inline double SecondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// Datagrams the system dropped because a UDP socket's receive buffer was full, summed per local
// port, from /proc/net/udp; nothing where that file does not exist.
std::optional<std::map<std::uint16_t, std::uint64_t>> ReadUdpDrops();

// Whether process `pid` holds a UDP socket bound to `port`: a row of its network namespace's UDP
// table for the port whose socket is among the process's open files, as the service's start check
// tells it. A process that merely runs may have failed to bind and be idling.
enum class PortHolding { Holds, DoesNotHold, NoSuchProcess, FilesUnreadable, NoProcFolder };
PortHolding HoldsUdpPort(long pid, std::uint16_t port);

}  // namespace Tools
