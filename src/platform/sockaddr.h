// Conversions between the layer's IPv4 record and the system's socket address, shared by posix.cpp
// and windows.cpp (addresses.cpp implements them). Include after the system's socket headers.
#pragma once

#include "platform/platform.h"

namespace Platform {

sockaddr_in ToSockaddr(const Ipv4Address& address);
Ipv4Address FromSockaddr(const sockaddr_in& native);

}  // namespace Platform
