#include <atomic>
#include <chrono>
#include <climits>
#include <string>
#include <thread>

#include "logs/ThreadsLogs.h"
#include "net/NetworkingComponentServer.h"
#include "net/ServerCounters.h"
#include "utils/Console.h"

namespace {

std::uint16_t ownPort = 0;
// Written before the receive thread and the metrics' first look, read by both.
std::atomic<Platform::SocketHandle> gameSocket{Platform::kNoSocket};
int receiveBufferRequest = 0;
std::atomic<bool> admitting{true};

}  // namespace

NetworkingComponentServer::NetworkingComponentServer() { ResetFields(); }
NetworkingComponentServer::~NetworkingComponentServer() { ResetFields(); }

void NetworkingComponentServer::ResetFields() {
  Clients().clear();
  Counters().registeredPlayers.store(0, std::memory_order_relaxed);
  acceptThread = nullptr;
  address = Orlin::Ipv4Address{};
  initialized = false;
}

NetworkingComponentServer& NetworkingComponentServer::GetInstance() {
  static NetworkingComponentServer instance;
  return instance;
}

std::uint16_t NetworkingComponentServer::OwnPort() { return ownPort; }
Platform::SocketHandle NetworkingComponentServer::GameSocket() { return gameSocket.load(); }
void NetworkingComponentServer::SetReceiveBufferRequest(int bytes) { receiveBufferRequest = bytes; }
int NetworkingComponentServer::ReceiveBufferRequest() { return receiveBufferRequest; }
void NetworkingComponentServer::StopAdmitting() { admitting.store(false); }
bool NetworkingComponentServer::Admitting() { return admitting.load(std::memory_order_relaxed); }

bool NetworkingComponentServer::Init(Orlin::Protocol protocol) {
  if (initialized) return false;
  if (!StartModule(protocol)) return false;
  initialized = true;
  return true;
}

bool NetworkingComponentServer::Start(const char* bindAddress, std::int32_t port) {
  std::uint32_t networkOrder = 0;
  if (bindAddress == nullptr || Platform::ParseIpv4(bindAddress, networkOrder) != 1) {
    Console::Err("NetworkingComponentServer(Start): \"", bindAddress ? bindAddress : "",
                 "\" is not a dotted IPv4 address.");
    return false;
  }
  if (!CreateSocket()) return false;
  // Replies leave from this socket too, so a player that has gone away draws a "port unreachable"
  // that would otherwise fail the receive loop's next read.
  if (protocol == Orlin::Protocol::Udp) Platform::IgnorePortUnreachable(socket);
  // What arrives while the receive thread is busy waits in this buffer; what finds it full is lost.
  if (receiveBufferRequest > 0 && !Platform::SetReceiveBuffer(socket, receiveBufferRequest)) {
    Console::Err("NetworkingComponentServer(Start): The system refused a receive buffer of ",
                 Decimal(receiveBufferRequest),
                 " bytes - Code: ", Decimal(Platform::LastSocketError()));
  }
  SetupAddress(address, port);
  address.address = networkOrder;
  if (!Bind()) return false;
  if (protocol == Orlin::Protocol::Udp) gameSocket.store(socket);
  if (protocol == Orlin::Protocol::Tcp) {
    if (!Listen()) return false;
    Console::Out("NetworkingComponent(): Waiting a client...");
    if (!StartAcceptThread()) return false;
  }
  return StartReceiving();
}

bool NetworkingComponentServer::Bind() {
  if (!Platform::Bind(socket, address)) {
    const int error = Platform::LastSocketError();
    Console::Err("NetworkingComponent(): Binding error - Code: ", Decimal(error));
    // The line above gives only the system's error number; an operator needs the port too.
    Console::Err("NetworkingComponentServer(Bind): Cannot bind ",
                 protocol == Orlin::Protocol::Udp ? "UDP " : "TCP ", Orlin::AddressText(address),
                 address.address == 0 ? " (every local address)" : "",
                 ": another program may be using the port, or the address is not this host's.");
    CloseSocket();
    return false;
  }
  ownPort = static_cast<std::uint16_t>(port);
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

bool NetworkingComponentServer::Stop() {
  ReceiveState& receiving = Receiving();
  receiving.stopRequested.store(true);
  if (!receiving.running.load()) return true;
  Platform::StopReceiving(socket);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (receiving.running.load()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

bool NetworkingComponentServer::StartReceiving() {
  if (protocol == Orlin::Protocol::Udp) {
    Receiving().running.store(true);
    ThreadsLogs::GetInstance().CreateLoggedThread(ReceiveLoop, socket);
  }
  Console::Out("NetworkingComponent(): Waiting a message...");
  return true;
}
