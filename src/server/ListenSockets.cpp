#include "server/ListenSockets.h"

#include <algorithm>

#include "transfer/SocketLib.h"

bool OpenListenSockets(const std::vector<platform::IpAddress>& addresses, int port,
                       std::vector<platform::UniqueSocket>& sockets, std::string& error) {
  const bool anyV4 = std::any_of(addresses.begin(), addresses.end(),
                                 [](const platform::IpAddress& address) { return address.IsV4(); });
  std::vector<platform::UniqueSocket> opened;
  for (const platform::IpAddress& address : addresses) {
    platform::UniqueSocket socket(BaseSocket(address, error));
    if (!socket.valid()) return false;
    const bool dualStack = !anyV4 && !address.IsV4() && address.IsAny();
    if (SocketBind(socket.get(), address, port, dualStack, error) != 0 || SocketListen(socket.get(), error) != 0)
      return false;
    if (port == 0) port = platform::NetLocalPort(socket.get());
    opened.push_back(std::move(socket));
  }
  sockets = std::move(opened);
  return true;
}
