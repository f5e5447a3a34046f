#pragma once
// One in-memory connection in place of the system's sockets, for the fuzz
// build: the client's bytes are given up front and received in order, what
// the server sends is collected, and nothing ever waits.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/Sockets.h"

namespace memory_sockets {

// Opens the connection whose client sends `data` and then closes its side.
// The bytes must stay valid until the connection is closed.
platform::SocketHandle Connect(const std::uint8_t* data, std::size_t size);

// What the server has sent so far: the first `kKeptBytes` bytes, and the
// count of all of them.
constexpr std::size_t kKeptBytes = 64 * 1024;
const std::string& Sent();
std::size_t SentCount();

// How often the server has closed the connection.
int CloseCount();

}  // namespace memory_sockets
