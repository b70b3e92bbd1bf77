#include "net/NetworkingComponent.h"

#include <cstring>

#include "utils/Console.h"

namespace Orlin {

std::string AddressText(const Ipv4Address& record) {
  // The address is in network byte order: its first byte in memory is the first of the text.
  unsigned char bytes[4];
  std::memcpy(bytes, &record.address, sizeof(bytes));
  std::string text;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) text.push_back('.');
    text.append(Decimal(static_cast<unsigned>(bytes[i])));
  }
  text.push_back(':');
  text.append(Decimal(Platform::HostToNetwork16(record.port)));
  return text;
}

bool NetworkingComponent::StartModule(Protocol protocol) {
  this->protocol = protocol;
  if (!Platform::StartSocketLibrary()) {
    Console::Err("NetworkingComponent(): Critical error, cannot start module. Error code: ",
                 Decimal(Platform::LastSocketError()));
    return false;
  }
  return true;
}

bool NetworkingComponent::CreateSocket() {
  const auto kind =
      protocol == Protocol::Udp ? Platform::SocketKind::Datagram : Platform::SocketKind::Stream;
  socket = Platform::OpenSocket(kind);
  if (socket == Platform::kNoSocket) {
    const int error = Platform::LastSocketError();
    Console::Err("NetworkingComponent(): Socket error - Code: ", Decimal(error));
    CloseSocket();
    return false;
  }
  Console::Out("NetworkingComponent(): Socket initialized successfully");
  return true;
}

bool NetworkingComponent::SetupAddress(Ipv4Address& record, std::int32_t port) {
  record = Ipv4Address{};
  this->port = port;
  record.family = Platform::kAddressFamilyIpv4;
  record.port = Platform::HostToNetwork16(static_cast<std::uint16_t>(port));
  return true;
}

void NetworkingComponent::CloseSocket() {
  Platform::CloseSocket(socket);
  socket = Platform::kNoSocket;
  Platform::StopSocketLibrary();
}

std::uint32_t& NetworkingComponent::MessageCounter() {
  static std::uint32_t counter = 1;
  return counter;
}

}  // namespace Orlin
