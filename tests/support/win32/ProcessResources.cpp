#include "support/ProcessResources.h"

#include <winsock2.h>
#include <windows.h>
#include <tlhelp32.h>

#include <cstdint>
#include <vector>

namespace vtest {

namespace {

// One entry of the system's handle table, as NtQuerySystemInformation
// reports it for its class 16.
struct HandleEntry {
  ULONG ownerProcess;
  BYTE objectType;
  BYTE flags;
  USHORT value;
  PVOID object;
  ULONG access;
};
struct HandleTable {
  ULONG count;
  HandleEntry entries[1];
};

// The system's handle table; empty when it cannot be read.
std::vector<char> ReadHandleTable() {
  using Query = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
  const auto query = reinterpret_cast<Query>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
  if (query == nullptr) return {};
  constexpr ULONG kHandleInformation = 16;
  constexpr LONG kLengthMismatch = static_cast<LONG>(0xC0000004);
  std::vector<char> buffer(1 << 20);
  LONG status;
  ULONG needed = 0;
  while ((status = query(kHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed)) ==
         kLengthMismatch)
    buffer.resize(buffer.size() * 2);
  if (status < 0) return {};
  return buffer;
}

// The type number the table gives a handle of this process; -1 if absent.
int TypeOf(const std::vector<char>& buffer, HANDLE handle) {
  const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
  const DWORD self = ::GetCurrentProcessId();
  for (ULONG i = 0; i < table->count; ++i)
    if (table->entries[i].ownerProcess == self &&
        table->entries[i].value == static_cast<USHORT>(reinterpret_cast<std::uintptr_t>(handle)))
      return table->entries[i].objectType;
  return -1;
}

// This process's entries in the system's handle table, leaving out events
// and semaphores: the C runtime's locks make one the first time two threads
// meet on them and keep it for the life of the lock, so how many there are
// depends on timing, not on what was leaked. Sockets, files and threads,
// what a connection could leak, all count. -1 when the table cannot be read.
int CountInHandleTable() {
  HANDLE event = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE semaphore = ::CreateSemaphoreA(nullptr, 0, 1, nullptr);
  const std::vector<char> buffer = ReadHandleTable();
  int count = -1;
  if (!buffer.empty()) {
    const int eventType = TypeOf(buffer, event), semaphoreType = TypeOf(buffer, semaphore);
    const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
    const DWORD self = ::GetCurrentProcessId();
    count = 0;
    for (ULONG i = 0; i < table->count; ++i) {
      const HandleEntry& entry = table->entries[i];
      count += entry.ownerProcess == self && entry.objectType != eventType && entry.objectType != semaphoreType;
    }
  }
  if (event != nullptr) ::CloseHandle(event);
  if (semaphore != nullptr) ::CloseHandle(semaphore);
  return count;
}

}  // namespace

int ThreadCount() {
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  const DWORD self = ::GetCurrentProcessId();
  THREADENTRY32 entry{};
  entry.dwSize = sizeof entry;
  int count = 0;
  for (BOOL more = ::Thread32First(snapshot, &entry); more; more = ::Thread32Next(snapshot, &entry))
    count += entry.th32OwnerProcessID == self;
  ::CloseHandle(snapshot);
  return count;
}

int HandleCount() {
  const int counted = CountInHandleTable();
  if (counted >= 0) return counted;
  DWORD count = 0;
  return ::GetProcessHandleCount(::GetCurrentProcess(), &count) ? static_cast<int>(count) : -1;
}

// Windows puts no per-process limit on sockets or handles that a test of
// this size could reach.
bool AllowOpenHandles(int) { return true; }

// Windows has no per-process limit on file sizes.
FileSizeLimit::FileSizeLimit(std::int64_t) {}
FileSizeLimit::~FileSizeLimit() {}

// A small file system is mounted from the POSIX side only.
FullVolume::FullVolume(const std::string& directory) : FDirectory(directory) {}
FullVolume::~FullVolume() {}

void ResetConnection(TSocket s) {
  // A linger time of zero makes the close send a reset and drop what is
  // still unsent.
  const linger abort{1, 0};
  ::setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
  CloseSocket(s);
}

}  // namespace vtest
