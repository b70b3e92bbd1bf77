#include <atomic>
#include <charconv>
#include <filesystem>
#include <sstream>
#include <string>

#include "net/NetworkingComponentServer.h"
#include "net/ServerCounters.h"
#include "utils/Console.h"

// The registry of players and its cap; Dispatch fills and prunes it on the receive thread.

namespace {

std::filesystem::path Utf8Path(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::size_t maxPlayers = NetworkingComponentServer::kDefaultMaxPlayers;
// Set before serving, and by tests while a receive thread runs.
std::atomic<bool> trustSources{false};
std::atomic<std::uint32_t> idleTimeoutSeconds{
    NetworkingComponentServer::kDefaultIdleTimeoutSeconds};

constexpr char kPlayersFileHeader[] = "velantis-server players 1";

// "A.B.C.D:PORT", as Orlin::AddressText writes it.
bool ParseAddress(const std::string& text, Orlin::Ipv4Address& address) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos) return false;
  std::uint32_t networkOrder = 0;
  if (Platform::ParseIpv4(text.substr(0, colon).c_str(), networkOrder) != 1) return false;
  unsigned port = 0;
  const char* first = text.data() + colon + 1;
  const char* last = text.data() + text.size();
  const auto [end, error] = std::from_chars(first, last, port);
  if (error != std::errc() || end != last || port == 0 || port > 65535) return false;
  address = Platform::MakeIpv4Address(networkOrder, static_cast<std::uint16_t>(port));
  return true;
}

// The players of a whole file, or nothing with the number of the first line that is wrong.
bool ParsePlayersFile(std::istream& in, NetworkingComponentServer::ClientRegistry& players,
                      std::size_t& badLine) {
  std::string line;
  badLine = 1;
  if (!std::getline(in, line) || line != kPlayersFileHeader) return false;
  while (std::getline(in, line)) {
    ++badLine;
    std::istringstream fields(line);
    std::string first;
    std::string second;
    std::string extra;
    if (!(fields >> first >> second) || (fields >> extra)) return false;
    std::uint64_t number = 0;
    const auto [end, error] = std::from_chars(first.data(), first.data() + first.size(), number);
    const bool isNumber = error == std::errc() && end == first.data() + first.size();
    if (first == "end") {
      // The count of players ends the file: a file cut short has none.
      const auto [countEnd, countError] =
          std::from_chars(second.data(), second.data() + second.size(), number);
      const bool counted = countError == std::errc() && countEnd == second.data() + second.size() &&
                           number == players.size();
      return counted && !std::getline(in, line);
    }
    Orlin::Ipv4Address address;
    if (!isNumber || !ParseAddress(second, address) || !players.insert({number, address}).second) {
      return false;
    }
  }
  ++badLine;
  return false;
}

}  // namespace

NetworkingComponentServer::ClientRegistry& NetworkingComponentServer::Clients() {
  // Never destroyed: the receive thread may still be dispatching while the process exits.
  static auto* clients = new ClientRegistry();
  return *clients;
}

void NetworkingComponentServer::SetMaxPlayers(std::size_t count) { maxPlayers = count; }
std::size_t NetworkingComponentServer::MaxPlayers() { return maxPlayers; }
void NetworkingComponentServer::SetTrustSources(bool trust) {
  trustSources.store(trust, std::memory_order_relaxed);
}
bool NetworkingComponentServer::TrustSources() {
  return trustSources.load(std::memory_order_relaxed);
}
void NetworkingComponentServer::SetIdleTimeout(std::uint32_t seconds) {
  idleTimeoutSeconds.store(seconds, std::memory_order_relaxed);
}
std::uint32_t NetworkingComponentServer::IdleTimeoutSeconds() {
  return idleTimeoutSeconds.load(std::memory_order_relaxed);
}

bool NetworkingComponentServer::SaveClients(const std::string& path) {
  std::string text = std::string(kPlayersFileHeader) + "\n";
  for (const auto& [id, player] : Clients()) {
    text.append(Decimal(id)).append(" ").append(Orlin::AddressText(player.address)).append("\n");
  }
  text.append("end ").append(Decimal(Clients().size())).append("\n");
  if (!Platform::ReplaceFileAtomically(path, text.data(), text.size())) {
    Console::Err("NetworkingComponentServer(): Cannot save the players in \"", path,
                 "\": they must connect again after the restart.");
    return false;
  }
  Console::Out("NetworkingComponentServer(): ", Decimal(Clients().size()), " players saved in \"",
               path, "\".");
  return true;
}

void NetworkingComponentServer::RestoreClients(const std::string& path, std::uint16_t gamePort) {
  // A line is at most an id of 20 digits and an address of 21 characters; more than the cap's
  // worth of them is not a file this server wrote.
  const std::size_t maxBytes = sizeof(kPlayersFileHeader) + 64 * (maxPlayers + 1);
  std::string text;
  const Platform::ReadResult read = Platform::ReadPlainFile(path, maxBytes, text);
  if (read == Platform::ReadResult::Missing) {
    Console::Out("NetworkingComponentServer(): No players saved in \"", path,
                 "\": starting with none.");
    return;
  }
  // Read once: a file left behind would bring back, after a crash, players who have left since.
  std::error_code ignored;
  std::filesystem::remove(Utf8Path(path), ignored);
  if (read != Platform::ReadResult::Read) {
    Console::Err("NetworkingComponentServer(): The players saved in \"", path, "\" ",
                 read == Platform::ReadResult::NotAPlainFile ? "are not a plain file"
                 : read == Platform::ReadResult::TooLarge ? "are larger than the player cap allows"
                                                          : "cannot be read",
                 ": starting with none.");
    return;
  }
  ClientRegistry players;
  std::size_t badLine = 0;
  std::istringstream in(text);
  const bool whole = ParsePlayersFile(in, players, badLine);
  if (!whole) {
    Console::Err("NetworkingComponentServer(): The players saved in \"", path,
                 "\" are damaged (line ", Decimal(badLine), "): starting with none.");
    return;
  }
  // A player had been accepted from its address once; one no Connect is accepted from was written
  // by someone else.
  for (const auto& [id, player] : players) {
    const std::uint16_t port = Platform::HostToNetwork16(player.address.port);
    if (port < 1024 || port == gamePort) {
      Console::Err("NetworkingComponentServer(): The players saved in \"", path,
                   "\" name a port no game client sends from (", Orlin::AddressText(player.address),
                   "): starting with none.");
      return;
    }
  }
  ClientRegistry& clients = Clients();
  for (const auto& player : players) {
    if (clients.size() >= maxPlayers) break;
    clients.insert(player);
  }
  Counters().registeredPlayers.store(clients.size(), std::memory_order_relaxed);
  Console::Out("NetworkingComponentServer(): ", Decimal(clients.size()),
               " players restored from \"", path, "\".");
}
