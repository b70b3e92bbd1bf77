// The socket-address functions of the platform layer: reading and writing the address structures
// and resolving names. Winsock keeps the BSD structures, conversions and resolver, so this one file
// serves both systems, with a line or two apart where they differ; sockets and the resolver's error
// texts stay in posix.cpp and windows.cpp.
#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstring>
#include <string>

#if !defined(_WIN32)
#include <netdb.h>
#include <unistd.h>
#endif

#include "platform/platform.h"
#include "platform/sockaddr.h"

namespace Platform {
namespace {

int FamilyOf(const SocketAddress& address) {
  sockaddr_storage native{};
  std::memcpy(&native, address.bytes, sizeof(native));
  return native.ss_family;
}

sockaddr_in AsIpv4(const SocketAddress& address) {
  sockaddr_in native{};
  std::memcpy(&native, address.bytes, sizeof(native));
  return native;
}

sockaddr_in6 AsIpv6(const SocketAddress& address) {
  sockaddr_in6 native{};
  std::memcpy(&native, address.bytes, sizeof(native));
  return native;
}

// Whether the system has a route to the address: connecting a UDP socket sends nothing but fails
// when no route or no source address exists.
bool Routable(const addrinfo& candidate) {
#if defined(_WIN32)
  const SOCKET probe = ::socket(candidate.ai_family, SOCK_DGRAM, IPPROTO_UDP);
  if (probe == INVALID_SOCKET) return false;
  const bool routable =
      ::connect(probe, candidate.ai_addr, static_cast<int>(candidate.ai_addrlen)) == 0;
  closesocket(probe);
#else
  const int probe = ::socket(candidate.ai_family, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (probe < 0) return false;
  const bool routable = ::connect(probe, candidate.ai_addr, candidate.ai_addrlen) == 0;
  ::close(probe);
#endif
  return routable;
}

}  // namespace

sockaddr_in ToSockaddr(const Ipv4Address& address) {
  sockaddr_in native{};
  std::memcpy(&native, &address, sizeof(native));
  // The record's family is the 16-bit value 2 on the wire; BSD layouts differ, so set it natively.
  native.sin_family = AF_INET;
  return native;
}

Ipv4Address FromSockaddr(const sockaddr_in& native) {
  Ipv4Address address;
  address.family = kAddressFamilyIpv4;
  address.port = native.sin_port;
  address.address = native.sin_addr.s_addr;
  return address;
}

int ParseIpv4(const char* text, std::uint32_t& networkOrderAddress) {
  in_addr parsed{};
  const int result = ::inet_pton(AF_INET, text, &parsed);
  if (result == 1) networkOrderAddress = parsed.s_addr;
  return result;
}

std::uint16_t HostToNetwork16(std::uint16_t value) { return htons(value); }

int ResolveAddress(const char* host, std::uint16_t hostOrderPort, SocketAddress& address) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  hints.ai_protocol = IPPROTO_UDP;
  hints.ai_flags = AI_NUMERICSERV;
  const std::string port = std::to_string(hostOrderPort);
  addrinfo* results = nullptr;
  const int error = ::getaddrinfo(host, port.c_str(), &hints, &results);
  if (error != 0) return error;
  const addrinfo* chosen = nullptr;
  for (const int family : {AF_INET, AF_INET6}) {
    for (const addrinfo* entry = results; entry != nullptr && chosen == nullptr;
         entry = entry->ai_next) {
      if (entry->ai_family == family && Routable(*entry)) chosen = entry;
    }
  }
  for (const addrinfo* entry = results; entry != nullptr && chosen == nullptr;
       entry = entry->ai_next) {
    if (entry->ai_family == AF_INET || entry->ai_family == AF_INET6) chosen = entry;
  }
#if defined(_WIN32)
  int result = WSAEAFNOSUPPORT;
#else
  int result = EAI_FAMILY;
#endif
  if (chosen != nullptr && chosen->ai_addrlen <= sizeof(address.bytes)) {
    address = SocketAddress{};
    std::memcpy(address.bytes, chosen->ai_addr, chosen->ai_addrlen);
    address.length = static_cast<int>(chosen->ai_addrlen);
    result = 0;
  }
  ::freeaddrinfo(results);
  return result;
}

bool IsIpv6(const SocketAddress& address) { return FamilyOf(address) == AF_INET6; }

bool IsLoopback(const SocketAddress& address) {
  if (IsIpv6(address)) {
    const sockaddr_in6 native = AsIpv6(address);
    static const unsigned char kLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return std::memcmp(&native.sin6_addr, kLoopback, sizeof(kLoopback)) == 0;
  }
  return (ntohl(AsIpv4(address).sin_addr.s_addr) >> 24) == 127;
}

SocketAddress LocalAddressFor(const SocketAddress& peer, bool loopback,
                              std::uint16_t hostOrderPort) {
  SocketAddress local;
  if (IsIpv6(peer)) {
    sockaddr_in6 native{};
    native.sin6_family = AF_INET6;
    native.sin6_port = htons(hostOrderPort);
    if (loopback) native.sin6_addr.s6_addr[15] = 1;
    std::memcpy(local.bytes, &native, sizeof(native));
    local.length = sizeof(native);
  } else {
    sockaddr_in native{};
    native.sin_family = AF_INET;
    native.sin_port = htons(hostOrderPort);
    native.sin_addr.s_addr = htonl(loopback ? INADDR_LOOPBACK : INADDR_ANY);
    std::memcpy(local.bytes, &native, sizeof(native));
    local.length = sizeof(native);
  }
  return local;
}

bool SameHost(const SocketAddress& first, const SocketAddress& second) {
  if (FamilyOf(first) != FamilyOf(second)) return false;
  if (IsIpv6(first)) {
    const sockaddr_in6 one = AsIpv6(first);
    const sockaddr_in6 other = AsIpv6(second);
    return std::memcmp(&one.sin6_addr, &other.sin6_addr, sizeof(one.sin6_addr)) == 0;
  }
  return AsIpv4(first).sin_addr.s_addr == AsIpv4(second).sin_addr.s_addr;
}

bool SameEndpoint(const SocketAddress& first, const SocketAddress& second) {
  return SameHost(first, second) && PortOf(first) == PortOf(second);
}

std::uint16_t PortOf(const SocketAddress& address) {
  return ntohs(IsIpv6(address) ? AsIpv6(address).sin6_port : AsIpv4(address).sin_port);
}

std::uint32_t Ipv4Of(const SocketAddress& address) {
  return FamilyOf(address) == AF_INET ? AsIpv4(address).sin_addr.s_addr : 0;
}

std::string AddressText(const SocketAddress& address) {
  char text[INET6_ADDRSTRLEN] = {};
  bool converted = false;
  if (IsIpv6(address)) {
    const sockaddr_in6 native = AsIpv6(address);
    converted = ::inet_ntop(AF_INET6, &native.sin6_addr, text, sizeof(text)) != nullptr;
  } else if (FamilyOf(address) == AF_INET) {
    const sockaddr_in native = AsIpv4(address);
    converted = ::inet_ntop(AF_INET, &native.sin_addr, text, sizeof(text)) != nullptr;
  }
  return converted ? text : "";
}

}  // namespace Platform
