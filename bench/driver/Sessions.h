#pragma once
// One client session per protocol: set up once (connection and handshake
// or login), then one download or one upload, as a client of that system
// would do it.

#include <cstdint>
#include <memory>
#include <string>

#include "driver/Net.h"

namespace bench {

class Session {
 public:
  virtual ~Session() = default;
  // The connection and whatever a client does before its first request.
  virtual bool Open(int port) = 0;
  // `name` as the server knows it; the data from `offset` to the end.
  virtual bool Download(const std::string& name, std::int64_t offset, std::int64_t expected, Received& received) = 0;
  // A new file of `size` bytes.
  virtual bool Upload(const std::string& name, std::int64_t size) = 0;
  virtual void Shut() = 0;
  // How the server names a file under its root: the full path for this
  // server, the path below the document root for HTTP and FTP.
  virtual bool WantsFullPath() const { return false; }
};

// "vardex", "http" or "ftp", or "vardex-tls" and "https" over TLS, set up
// for downloads or for uploads; null for anything else.
std::unique_ptr<Session> MakeSession(const std::string& protocol, bool upload);

}  // namespace bench
