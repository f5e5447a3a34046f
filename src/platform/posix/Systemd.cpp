#include "platform/Systemd.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

extern char** environ;

namespace platform {

void NotifyReady() { sd_notify(0, "READY=1"); }
void NotifyStopping(std::uint32_t waitHintMilliseconds) {
  sd_notifyf(0, "STOPPING=1\nEXTEND_TIMEOUT_USEC=%llu", waitHintMilliseconds * 1000ULL);
}

namespace {

constexpr std::uint32_t kAutoStart = 2;

// systemd reads "%" as a specifier and "$" as a variable, and splits the
// command line at blanks unless it is quoted.
std::string UnitCommand(const std::string& path) {
  std::string escaped;
  bool quote = false;
  for (char c : path) {
    if (c == '%' || c == '$') escaped += c;
    if (c == '\\' || c == '"') escaped += '\\';
    if (c == ' ' || c == '\t' || c == '\\' || c == '"' || c == '\'') quote = true;
    escaped += c;
  }
  return quote ? '"' + escaped + '"' : escaped;
}

std::string UnitText(const ServiceRegistration& registration) {
  // A failed start or a crash is tried again after a pause; five failed
  // starts within a minute (a configuration the server refuses) end it.
  // `systemctl reload` sends SIGHUP, which reads the [Access] rules again.
  return "[Unit]\n"
         "Description=" + registration.displayName + "\n"
         "After=network.target\n"
         "StartLimitIntervalSec=60\n"
         "StartLimitBurst=5\n"
         "\n"
         "[Service]\n"
         "Type=notify\n"
         "ExecStart=" + UnitCommand(registration.binaryPath) + "\n"
         "ExecReload=/bin/kill -HUP $MAINPID\n"
         "Restart=on-failure\n"
         "RestartSec=5\n"
         "\n"
         "[Install]\n"
         "WantedBy=multi-user.target\n";
}

bool IsDirectory(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool WriteNewFile(const std::string& path, const std::string& text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  errno = 0;
  const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  const int error = written ? 0 : (errno != 0 ? errno : EIO);
  ::close(fd);
  if (!written) {
    ::unlink(path.c_str());
    errno = error;
  }
  return written;
}

class SystemdInstaller : public ServiceInstaller {
 public:
  explicit SystemdInstaller(SystemdLocations locations) : FLocations(std::move(locations)) {}

  ServiceHandle OpenManager(std::uint32_t) override { return kManager; }

  ServiceHandle CreateService(ServiceHandle, const ServiceRegistration& registration,
                              std::uint32_t*) override {
    if (!IsDirectory(FLocations.runtimeDirectory))
      return FailHandle(ENOSYS, "systemd is not running on this host (no " + FLocations.runtimeDirectory + ")");
    const std::string unit = UnitFile(registration.name);
    if (!WriteNewFile(unit, UnitText(registration))) {
      if (errno == EEXIST) return FailHandle(EEXIST, "The service unit " + unit + " already exists.");
      return FailHandle(errno, std::string(std::strerror(errno)) + ": " + unit);
    }
    Systemctl("daemon-reload", "");
    if (registration.startType == kAutoStart) {
      int status = Systemctl("enable", UnitName(registration.name));
      if (status != 0) {
        ::unlink(unit.c_str());
        Systemctl("daemon-reload", "");
        return FailHandle(status, SystemctlFailure("enable", registration.name, status));
      }
    }
    return NewHandle(registration.name);
  }

  ServiceHandle OpenService(ServiceHandle, const std::string& name, std::uint32_t) override {
    const std::string unit = UnitFile(name);
    struct stat st{};
    if (::stat(unit.c_str(), &st) != 0) return FailHandle(ENOENT, "The service unit " + unit + " does not exist.");
    return NewHandle(name);
  }

  bool DeleteService(ServiceHandle service) override {
    auto it = FServices.find(service);
    if (it == FServices.end()) return Fail(EBADF, std::strerror(EBADF));
    const std::string name = it->second;
    int status = Systemctl("disable", UnitName(name));
    if (status != 0) return Fail(status, SystemctlFailure("disable", name, status));
    const std::string unit = UnitFile(name);
    if (::unlink(unit.c_str()) != 0) return Fail(errno, std::string(std::strerror(errno)) + ": " + unit);
    Systemctl("daemon-reload", "");
    return true;
  }

  void CloseServiceHandle(ServiceHandle handle) override { FServices.erase(handle); }

  SystemFailure LastFailure() const override { return FLastFailure; }

 private:
  static constexpr ServiceHandle kManager = 1;

  static std::string UnitName(const std::string& name) { return name + ".service"; }
  std::string UnitFile(const std::string& name) const { return FLocations.unitDirectory + UnitName(name); }

  static std::string SystemctlFailure(const char* verb, const std::string& name, int status) {
    const std::string command = "systemctl " + std::string(verb) + " " + UnitName(name);
    if (status < 0) return command + " could not be run.";
    return command + " failed with exit status " + std::to_string(status) + ".";
  }

  ServiceHandle NewHandle(const std::string& name) {
    FServices[++FLastHandle] = name;
    return FLastHandle;
  }

  bool Fail(int code, std::string text) {
    FLastFailure = {code, std::move(text)};
    return false;
  }
  ServiceHandle FailHandle(int code, std::string text) {
    Fail(code, std::move(text));
    return kNoServiceHandle;
  }

  // Runs systemctl and returns its exit status, or -1 when it could not be
  // run. The child gets an empty signal mask: the server blocks SIGTERM and
  // SIGINT for its stop request, and the mask would be inherited.
  int Systemctl(const char* verb, const std::string& unit) const {
    std::string program = FLocations.systemctl, quiet = "--quiet", command = verb, target = unit;
    char* argv[] = {program.data(), quiet.data(), command.data(), unit.empty() ? nullptr : target.data(), nullptr};
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    pid_t child = 0;
    int rc = posix_spawnp(&child, program.c_str(), nullptr, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) return -1;
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  SystemdLocations FLocations;
  std::map<ServiceHandle, std::string> FServices;
  ServiceHandle FLastHandle = kManager;
  SystemFailure FLastFailure;
};

}  // namespace

std::unique_ptr<ServiceInstaller> MakeSystemdInstaller(const SystemdLocations& locations) {
  return std::make_unique<SystemdInstaller>(locations);
}

}  // namespace platform
