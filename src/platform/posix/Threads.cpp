#include "platform/Threads.h"

#include <pthread.h>
#include <csignal>

#include "platform/posix/PipeSignal.h"

namespace platform {

namespace {

thread_local bool tPipeHeldForLife = false;

// AddressSanitizer pads every frame with red zones and moves locals to
// frames of its own, so the same code needs several times the stack.
#if defined(__SANITIZE_ADDRESS__)
constexpr std::size_t kStackFactor = 4;
#else
constexpr std::size_t kStackFactor = 1;
#endif

struct Start {
  void (*body)(void*);
  void* argument;
};

void* Trampoline(void* start) {
  const Start s = *static_cast<Start*>(start);
  delete static_cast<Start*>(start);
  // Files go to sockets by sendfile, which has no MSG_NOSIGNAL: SIGPIPE is
  // held back for the thread's life, so that a closed connection never ends
  // the process and no send pays for holding it back each time.
  sigset_t pipe;
  sigemptyset(&pipe);
  sigaddset(&pipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
  tPipeHeldForLife = true;
  s.body(s.argument);
  return nullptr;
}

}  // namespace

bool PipeSignalHeldForLife() { return tPipeHeldForLife; }

bool StartThread(void (*body)(void*), void* argument, std::size_t stackBytes, ThreadHandle& handle) {
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) return false;
  // A size the system refuses leaves its default.
  pthread_attr_setstacksize(&attributes, stackBytes * kStackFactor);
  Start* start = new Start{body, argument};
  pthread_t thread;
  const int result = pthread_create(&thread, &attributes, Trampoline, start);
  pthread_attr_destroy(&attributes);
  if (result != 0) {
    delete start;
    return false;
  }
  handle = static_cast<ThreadHandle>(thread);
  return true;
}

void JoinThread(ThreadHandle handle) { pthread_join(static_cast<pthread_t>(handle), nullptr); }

void DetachThread(ThreadHandle handle) { pthread_detach(static_cast<pthread_t>(handle)); }

}  // namespace platform
