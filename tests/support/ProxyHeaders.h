#pragma once
// PROXY headers as a load balancer writes them in the binary form (version 2),
// for the parser's table and for connections through a listed balancer.

#include <cstdint>
#include <string>

namespace vtest {

// A version 2 header: signature, version and command, family, then the
// address block with its length.
inline std::string V2(std::uint8_t versionCommand, std::uint8_t family, const std::string& addresses) {
  std::string header("\r\n\r\n\0\r\nQUIT\n", 12);
  header += static_cast<char>(versionCommand);
  header += static_cast<char>(family);
  header += static_cast<char>(addresses.size() >> 8);
  header += static_cast<char>(addresses.size() & 0xFF);
  return header + addresses;
}

// Source 192.0.2.7:5000, destination 10.0.0.1:80.
inline const std::string kV4Addresses("\xC0\x00\x02\x07\x0A\x00\x00\x01\x13\x88\x00\x50", 12);
// Source 2001:db8::1:0:0:7, destination ::1.
inline const std::string kV6Addresses = std::string("\x20\x01\x0D\xB8\0\0\0\0\0\x01\0\0\0\0\0\x07", 16) +
                                        std::string(15, '\0') + "\x01" + std::string("\x13\x88\x00\x50", 4);

}  // namespace vtest
