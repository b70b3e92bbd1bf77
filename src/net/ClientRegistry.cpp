#include "net/NetworkingComponentServer.h"

// The registry of players and its cap; Dispatch fills and prunes it on the receive thread.

namespace {

std::size_t maxPlayers = NetworkingComponentServer::kDefaultMaxPlayers;

}  // namespace

NetworkingComponentServer::ClientRegistry& NetworkingComponentServer::Clients() {
  // Never destroyed: the receive thread may still be dispatching while the process exits.
  static auto* clients = new ClientRegistry();
  return *clients;
}

void NetworkingComponentServer::SetMaxPlayers(std::size_t count) { maxPlayers = count; }
std::size_t NetworkingComponentServer::MaxPlayers() { return maxPlayers; }
