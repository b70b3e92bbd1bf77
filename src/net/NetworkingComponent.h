#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace Orlin {

enum class Protocol : std::uint8_t {
  Udp = 1,
  Tcp = 2,
};

using Ipv4Address = Platform::Ipv4Address;

// "A.B.C.D:PORT", for console lines.
std::string AddressText(const Ipv4Address& record);

// The socket shared by the server and client components: transport choice, socket library
// start-up, socket creation and closing, and the process-wide message counter.
class NetworkingComponent {
 public:
  NetworkingComponent() { ResetFields(); }
  virtual ~NetworkingComponent() { ResetFields(); }  // leaves the socket open
  NetworkingComponent(const NetworkingComponent&) = delete;
  NetworkingComponent& operator=(const NetworkingComponent&) = delete;

  virtual bool Start(const char* address, std::int32_t port) = 0;

  // Records the transport and starts one use of the socket library.
  bool StartModule(Protocol protocol);
  // Opens a UDP socket for Udp, a TCP socket for anything else.
  bool CreateSocket();
  // Zeroes the record and fills in IPv4, any address and the port in network byte order.
  bool SetupAddress(Ipv4Address& record, std::int32_t port);
  // Closes the socket and ends one use of the socket library.
  void CloseSocket();

  // The number the next sent packet carries; advanced by each successful send.
  static std::uint32_t& MessageCounter();

  Platform::SocketHandle Socket() const { return socket; }
  Protocol GetProtocol() const { return protocol; }
  std::int32_t Port() const { return port; }

 protected:
  Platform::SocketHandle socket;
  Protocol protocol;
  std::int32_t port;

 private:
  void ResetFields() {
    socket = Platform::kNoSocket;
    protocol = Protocol{0};
    port = 0;
  }
};

}  // namespace Orlin
