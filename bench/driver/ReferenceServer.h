#pragma once
// The least a download server can do: read the request's path and range,
// answer with a minimal HTTP header and hand the rest to sendfile on a
// corked socket, on a thread per connection. The ceiling for every download
// row.

#include <string>

namespace bench {

// Serves files below `root` on 127.0.0.1:port until the process is ended.
int ServeBySendfile(int port, const std::string& root);

}  // namespace bench
