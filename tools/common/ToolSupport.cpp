#include "common/ToolSupport.h"

#include "Codec.h"

#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <vector>

namespace Tools {

std::optional<std::uint64_t> ParseUnsigned(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc{} || end != text.data() + text.size() || text.empty()) return {};
  return value;
}

std::optional<double> ParseNumber(std::string_view text) {
  // from_chars for floating point is missing from some of the standard libraries we build with.
  std::string copy(text);
  std::istringstream stream(copy);
  stream.imbue(std::locale::classic());
  double value = 0.0;
  stream >> value;
  if (text.empty() || stream.fail() || !stream.eof()) return {};
  return value;
}

std::optional<Vec2> ParsePair(std::string_view text) {
  const std::size_t comma = text.find(',');
  if (comma == std::string_view::npos) return {};
  const auto x = ParseNumber(text.substr(0, comma));
  const auto y = ParseNumber(text.substr(comma + 1));
  if (!x || !y) return {};
  return Vec2(static_cast<float>(*x), static_cast<float>(*y));
}

std::optional<std::uint32_t> ParseAddress(const char* text) {
  std::uint32_t address = 0;
  if (Platform::ParseIpv4(text, address) != 1) return {};
  return address;
}

bool IsLoopback(std::uint32_t networkOrderAddress) {
  unsigned char bytes[4];
  std::memcpy(bytes, &networkOrderAddress, sizeof(bytes));
  return bytes[0] == 127;
}

std::string FormatAddress(const Platform::Ipv4Address& address) {
  unsigned char bytes[4];
  std::memcpy(bytes, &address.address, sizeof(bytes));
  // Swapping to network order and back are the same operation.
  const std::uint16_t port = Platform::HostToNetwork16(address.port);
  std::string text;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) text += '.';
    text += std::to_string(bytes[i]);
  }
  return text + ":" + std::to_string(port);
}

std::string TypeName(MessageType type) {
  const char* name = "Unknown";
  switch (type) {
    case MessageType::Connect:
      name = "Connect";
      break;
    case MessageType::Welcome:
      name = "Welcome";
      break;
    case MessageType::Disconnect:
      name = "Disconnect";
      break;
    case MessageType::PlayerPositionUpdate:
      name = "PlayerPositionUpdate";
      break;
  }
  return std::string(name) + "(" + std::to_string(static_cast<unsigned>(type)) + ")";
}

void Decode(const std::byte* data, long size, Received& received) {
  received.size = size;
  received.wholePacket = size == static_cast<long>(Packet::kSize);
  received.checksumOk = false;
  const Velantis::Verdict verdict = Velantis::DecodeDatagram(data, size, received.packet);
  received.checksumOk =
      verdict == Velantis::Verdict::Packet || verdict == Velantis::Verdict::UnknownType;
}

std::string Quoted(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string quoted = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (byte < 0x20 || byte >= 0x7f) {
      quoted += "\\x";
      quoted += kHex[byte >> 4];
      quoted += kHex[byte & 0xf];
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

namespace {

std::string FormatFloat(float value) {
  std::ostringstream stream;
  stream.imbue(std::locale::classic());
  stream << value;
  return stream.str();
}

}  // namespace

std::string Describe(const Received& received, const Platform::Ipv4Address& from) {
  std::string line = "recv ";
  if (!received.wholePacket) {
    return line + "datagram of " + std::to_string(received.size) +
           " bytes from=" + FormatAddress(from) + " (a packet is " + std::to_string(Packet::kSize) +
           ") checksum=BAD";
  }
  const Packet& packet = received.packet;
  const PacketHeader& header = packet.Header();
  const PacketBody& body = packet.Body();
  line += TypeName(header.messageType);
  line += " from=" + FormatAddress(from);
  line += " clientID=" + std::to_string(header.clientID);
  line += " messageNumber=" + std::to_string(header.messageNumber);
  line += " playerUUID=" + std::to_string(body.playerUUID);
  line += " entityID=" + std::to_string(body.entityID);
  line += " text=" + Quoted(packet.MessageText());
  line += " position=(" + FormatFloat(body.position.x) + "," + FormatFloat(body.position.y) + ")";
  line += received.checksumOk ? " checksum=OK" : " checksum=BAD";
  return line;
}

namespace {

// One socket of a /proc UDP table: "sl local_address rem_address st tx_queue:rx_queue tr:tm->when
// retrnsmt uid timeout inode ref pointer drops", the local address as "HEXIP:HEXPORT".
struct UdpTableRow {
  std::uint16_t port = 0;
  std::string inode;
  std::string drops;
};

// Calls `visit` with every row of the table; false when the table cannot be read.
template <typename Visit>
bool ForEachUdpRow(const std::filesystem::path& table, Visit visit) {
  std::ifstream file(table);
  std::string line;
  if (!std::getline(file, line)) return false;  // the column titles
  while (std::getline(file, line)) {
    std::istringstream fields(line);
    std::vector<std::string> values;
    for (std::string value; fields >> value;) values.push_back(value);
    if (values.size() < 13) continue;
    const std::size_t colon = values[1].find(':');
    if (colon == std::string::npos) continue;
    UdpTableRow row;
    const char* port = values[1].data() + colon + 1;
    const auto result = std::from_chars(port, values[1].data() + values[1].size(), row.port, 16);
    if (result.ec != std::errc{}) continue;
    row.inode = values[9];
    row.drops = values.back();
    visit(row);
  }
  return true;
}

}  // namespace

std::optional<std::map<std::uint16_t, std::uint64_t>> ReadUdpDrops() {
  std::map<std::uint16_t, std::uint64_t> drops;
  const bool read = ForEachUdpRow("/proc/net/udp", [&](const UdpTableRow& row) {
    if (const auto dropped = ParseUnsigned(row.drops)) drops[row.port] += *dropped;
  });
  if (!read) return {};
  return drops;
}

PortHolding HoldsUdpPort(long pid, std::uint16_t port) {
  namespace fs = std::filesystem;
  std::error_code error;
  if (!fs::exists("/proc/self/net/udp", error)) return PortHolding::NoProcFolder;
  const fs::path folder = fs::path("/proc") / std::to_string(pid);
  std::set<std::string> sockets;
  const bool read = ForEachUdpRow(folder / "net" / "udp", [&](const UdpTableRow& row) {
    if (row.port == port) sockets.insert("socket:[" + row.inode + "]");
  });
  if (!read) return PortHolding::NoSuchProcess;
  if (sockets.empty()) return PortHolding::DoesNotHold;
  fs::directory_iterator files(folder / "fd", error);
  if (error) return PortHolding::FilesUnreadable;
  for (const fs::directory_iterator end; files != end; files.increment(error)) {
    if (error) return PortHolding::FilesUnreadable;
    const fs::path target = fs::read_symlink(files->path(), error);
    if (!error && sockets.count(target.string()) != 0) return PortHolding::Holds;
  }
  return error ? PortHolding::FilesUnreadable : PortHolding::DoesNotHold;
}

}  // namespace Tools
