#include "driver/ReferenceServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <thread>

#include "driver/Net.h"

namespace bench {

namespace {

void Serve(int client, std::string root) {
  LineReader reader(client);
  std::string line, path;
  long long offset = 0;
  if (reader.ReadLine(line) && line.compare(0, 5, "GET /") == 0) path = line.substr(5, line.find(' ', 5) - 5);
  while (reader.ReadLine(line) && !line.empty())
    if (line.compare(0, 13, "Range: bytes=") == 0) offset = std::atoll(line.c_str() + 13);

  const int file = path.empty() || path.find("..") != std::string::npos ? -1 : ::open((root + "/" + path).c_str(), O_RDONLY);
  struct stat st{};
  if (file < 0 || ::fstat(file, &st) != 0 || offset > st.st_size) {
    SendText(client, "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
  } else {
    const long long length = st.st_size - offset;
    char header[256];
    std::snprintf(header, sizeof header,
                  offset > 0 ? "HTTP/1.1 206 Partial Content\r\nContent-Length: %lld\r\nConnection: close\r\n\r\n"
                             : "HTTP/1.1 200 OK\r\nContent-Length: %lld\r\nConnection: close\r\n\r\n",
                  length);
    off_t position = offset;
    // Corked like nginx sends its files: whole segments only.
    const int on = 1;
    ::setsockopt(client, IPPROTO_TCP, TCP_CORK, &on, sizeof on);
    if (SendText(client, header))
      while (position < st.st_size && ::sendfile(client, file, &position, static_cast<std::size_t>(st.st_size - position)) > 0) {
      }
  }
  if (file >= 0) ::close(file);
  ::close(client);
}

}  // namespace

int ServeBySendfile(int port, const std::string& root) {
  ::signal(SIGPIPE, SIG_IGN);
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 511) != 0) {
    std::perror("listen");
    return 1;
  }
  for (;;) {
    const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EMFILE || errno == ENFILE) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      std::perror("accept");
      return 1;
    }
    std::thread(Serve, client, root).detach();
  }
}

}  // namespace bench
