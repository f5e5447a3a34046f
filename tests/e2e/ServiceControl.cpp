// The "control" command of sc, which Wine's sc does not have: sends one
// control code to an installed service. For tests/e2e/service-windows.sh.
//   service-control NAME CODE  (6: parameters changed)

#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: service-control NAME CODE\n");
    return 2;
  }
  SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = manager ? ::OpenServiceA(manager, argv[1], SERVICE_ALL_ACCESS) : nullptr;
  SERVICE_STATUS status{};
  const bool sent = service && ::ControlService(service, std::strtoul(argv[2], nullptr, 10), &status);
  const DWORD error = sent ? 0 : ::GetLastError();
  if (service) ::CloseServiceHandle(service);
  if (manager) ::CloseServiceHandle(manager);
  if (sent) return 0;
  std::fprintf(stderr, "ControlService failed: %lu\n", static_cast<unsigned long>(error));
  return 1;
}
