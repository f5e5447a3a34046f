#include "platform/ReadinessSet.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>

namespace platform {

namespace {
// Enough for one wait's harvest; the rest come with the next wait.
constexpr int kMostReported = 256;
}  // namespace

// epoll: a wait costs the same for 10 connections as for 50,000.
ReadinessSet::ReadinessSet() {
  const int set = ::epoll_create1(EPOLL_CLOEXEC);
  if (set < 0) return;
  FHandle = set;
  if (FWake.Signal() == kNoSocket) return;
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = static_cast<int>(FWake.Signal());
  ::epoll_ctl(set, EPOLL_CTL_ADD, event.data.fd, &event);
}

ReadinessSet::~ReadinessSet() {
  if (FHandle != kNoSocket) ::close(static_cast<int>(FHandle));
}

bool ReadinessSet::Valid() const { return FHandle != kNoSocket; }

bool ReadinessSet::WatchListening(SocketHandle s) {
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = static_cast<int>(s);
  return ::epoll_ctl(static_cast<int>(FHandle), EPOLL_CTL_ADD, event.data.fd, &event) == 0;
}

bool ReadinessSet::WatchOnce(SocketHandle s, bool again) {
  // One-shot: once reported, the socket stays in the set disarmed, so that
  // handing it on needs no call at all; its close takes it out.
  epoll_event event{};
  event.events = EPOLLIN | EPOLLONESHOT;
  event.data.fd = static_cast<int>(s);
  return ::epoll_ctl(static_cast<int>(FHandle), again ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, event.data.fd, &event) == 0;
}

void ReadinessSet::Forget(SocketHandle s) {
  epoll_event event{};
  ::epoll_ctl(static_cast<int>(FHandle), EPOLL_CTL_DEL, static_cast<int>(s), &event);
}

int ReadinessSet::Wait(std::vector<SocketHandle>& ready, int milliseconds) {
  ready.clear();
  epoll_event events[kMostReported];
  int r;
  do {
    r = ::epoll_wait(static_cast<int>(FHandle), events, kMostReported, milliseconds);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return -1;
  // Once woken, the wake-up stays readable and is not reported: the sockets
  // reported beside it are disarmed now and must not be lost.
  for (int i = 0; i < r; ++i)
    if (events[i].data.fd != static_cast<int>(FWake.Signal())) ready.push_back(events[i].data.fd);
  return static_cast<int>(ready.size());
}

}  // namespace platform
