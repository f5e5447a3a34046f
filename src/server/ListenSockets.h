#pragma once
// The listening sockets of one port, one for each configured address, for
// the transfer listener and the status port alike.

#include <string>
#include <vector>

#include "platform/IpAddress.h"
#include "platform/UniqueHandle.h"

// Binds and listens on `port` at each of `addresses` (at least one). With
// port 0 the system chooses for the first, and the others take the same
// port. The IPv6 wildcard (::) takes IPv4 connections too (dual stack)
// unless the list names an IPv4 address, which then serves IPv4 itself: the
// two would otherwise claim the same port. False with the socket layer's
// text in `error` when any socket cannot be made, bound or set listening.
bool OpenListenSockets(const std::vector<platform::IpAddress>& addresses, int port,
                       std::vector<platform::UniqueSocket>& sockets, std::string& error);
