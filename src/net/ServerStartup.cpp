#include <climits>

#include "logs/ThreadsLogs.h"
#include "net/NetworkingComponentServer.h"
#include "net/ServerCounters.h"
#include "utils/Console.h"

NetworkingComponentServer& NetworkingComponentServer::GetInstance() {
  static NetworkingComponentServer instance;
  return instance;
}

NetworkingComponentServer::ClientRegistry& NetworkingComponentServer::Clients() {
  // Never destroyed: the receive thread may still be dispatching while the process exits.
  static auto* clients = new ClientRegistry();
  return *clients;
}

ServerCounters& Counters() {
  // Constant-initialised and trivially destroyed: no first-call guard on the receive thread, and
  // nothing torn down while the endpoint may still read it at exit.
  static constinit ServerCounters counters;
  return counters;
}

bool NetworkingComponentServer::Init(Orlin::Protocol protocol) {
  if (initialized) return false;
  if (!StartModule(protocol)) return false;
  initialized = true;
  return true;
}

bool NetworkingComponentServer::Start(const char* /*address*/, std::int32_t port) {
  if (!CreateSocket()) return false;
  // Replies leave from this socket too, so a player that has gone away draws a "port unreachable"
  // that would otherwise fail the receive loop's next read.
  if (protocol == Orlin::Protocol::Udp) Platform::IgnorePortUnreachable(socket);
  SetupAddress(address, port);
  address.address = 0;
  if (!Bind()) return false;
  if (protocol == Orlin::Protocol::Tcp) {
    if (!Listen()) return false;
    Console::Out("NetworkingComponent(): Waiting a client...");
    if (!StartAcceptThread()) return false;
  }
  return StartReceiving();
}

bool NetworkingComponentServer::Bind() {
  if (!Platform::Bind(socket, address)) {
    Console::Err("NetworkingComponent(): Binding error - Code: ",
                 Decimal(Platform::LastSocketError()));
    CloseSocket();
    return false;
  }
  Console::Out("NetworkingComponent(): Successfully bound on port: ", Decimal(port));
  return true;
}

bool NetworkingComponentServer::Listen() {
  if (!Platform::Listen(socket, INT_MAX)) {
    Console::Err("NetworkingComponent(): Listen error - Code: ",
                 Decimal(Platform::LastSocketError()));
    CloseSocket();
    return false;
  }
  Console::Out("NetworkingComponent(): Listen successfully.");
  return true;
}

bool NetworkingComponentServer::StartAcceptThread() {
  // The handle travels in the pointer-sized thread argument.
  acceptThread = Platform::StartThread(AcceptLoop, reinterpret_cast<void*>(socket));
  if (acceptThread == nullptr) {
    Console::Err(
        "NetworkingComponent(): Error during accept processus initialization, the thread is "
        "null.");
    return false;
  }
  return true;
}

std::uint32_t NetworkingComponentServer::AcceptLoop(void* listeningSocket) {
  const auto listening = reinterpret_cast<Platform::SocketHandle>(listeningSocket);
  Orlin::Ipv4Address peer;
  int peerLength = sizeof(peer);
  // Connections are accepted and otherwise ignored: nothing is exchanged over TCP.
  while (Platform::Accept(listening, peer, peerLength)) {
  }
  return 0;
}

bool NetworkingComponentServer::StartReceiving() {
  if (protocol == Orlin::Protocol::Udp) {
    ThreadsLogs::GetInstance().CreateLoggedThread(ReceiveLoop, socket);
  }
  Console::Out("NetworkingComponent(): Waiting a message...");
  return true;
}
