#pragma once
// The PROXY protocol header that a load balancer puts before a connection's
// own bytes (version 1, text, and version 2, binary, as HAProxy's send-proxy
// and send-proxy-v2 write them), so that the server learns the address of
// the client behind the balancer. Pure parsing: no socket, no log.

#include <cstddef>
#include <cstdint>
#include <string>

// The longest version-1 header, "\r\n" included.
constexpr std::size_t kProxyV1MaxLength = 107;
// Version 2 may carry up to 64 KiB of addresses and extensions; a balancer
// sends a few dozen bytes. More is refused, so that a header never holds a
// worker reading for long.
constexpr std::size_t kProxyV2MaxLength = 16 + 1024;

struct TProxyHeader {
  enum TState { kIncomplete, kComplete, kInvalid };
  TState State = kIncomplete;
  // kIncomplete: bytes that certainly still belong to the header, so that
  // reading them never takes any of the connection's own bytes.
  std::size_t Wanted = 0;
  // kComplete: the header's whole length.
  std::size_t Length = 0;
  // kComplete: the client's address as text ("192.0.2.1", "2001:db8::1",
  // an IPv4-mapped one as plain IPv4);
  // empty when the header names none (version 1 UNKNOWN, version 2 LOCAL
  // or an unspecified family): the balancer's own address then stands.
  std::string ClientAddress;
};

// What the first `size` bytes of a connection make of a PROXY header.
TProxyHeader ParseProxyHeader(const std::uint8_t* data, std::size_t size);
