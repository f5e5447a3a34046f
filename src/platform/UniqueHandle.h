#pragma once
// Sole owners of a file or socket handle: the handle is closed when its owner
// goes away, on every exit path, and only moves hand it on. The two owners are
// distinct types, so that a socket can never be given where a file is due.

#include <utility>

#include "platform/Files.h"
#include "platform/Sockets.h"

namespace platform {

// `Close` may return a result; owners that need it close by hand
// (release) and look at it.
template <typename Handle, Handle kNone, auto Close>
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(Handle handle) : FHandle(handle) {}
  ~UniqueHandle() { reset(); }

  UniqueHandle(UniqueHandle&& other) noexcept : FHandle(other.release()) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  Handle get() const { return FHandle; }
  bool valid() const { return FHandle != kNone; }
  // Gives the handle up without closing it.
  Handle release() { return std::exchange(FHandle, kNone); }
  // Closes the handle held now, if any, and holds `handle` instead.
  void reset(Handle handle = kNone) {
    const Handle old = std::exchange(FHandle, handle);
    if (old != kNone) static_cast<void>(Close(old));
  }

 private:
  Handle FHandle = kNone;
};

using UniqueFile = UniqueHandle<FileHandle, kNoFile, CloseFile>;
using UniqueSocket = UniqueHandle<SocketHandle, kNoSocket, NetClose>;

}  // namespace platform
