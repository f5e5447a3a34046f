#pragma once
// Stand-ins for the event log, the firewall and the user's messages, each
// keeping what it was given.

#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/EventLog.h"
#include "platform/Firewall.h"
#include "platform/UserMessages.h"

namespace vtest {

class FakeEventLog : public platform::EventLog {
 public:
  platform::EventSource RegisterSource(const std::string& name) override {
    std::lock_guard<std::mutex> lock(FMutex);
    FSources.push_back(name);
    return static_cast<platform::EventSource>(FSources.size());
  }
  void Report(platform::EventSource source, platform::EventType, std::uint32_t, const std::vector<std::string>&,
              const std::string& text) override {
    std::lock_guard<std::mutex> lock(FMutex);
    FEvents.push_back(FSources.at(static_cast<std::size_t>(source) - 1) + ": " + text);
  }
  void DeregisterSource(platform::EventSource source) override {
    std::lock_guard<std::mutex> lock(FMutex);
    FDeregistered.push_back(FSources.at(static_cast<std::size_t>(source) - 1));
  }
  bool InstallSource(const std::string& name, const std::string& messageFile, int& error) override {
    std::lock_guard<std::mutex> lock(FMutex);
    Installed.push_back(name + " " + messageFile);
    error = 0;
    return true;
  }
  bool RemoveSource(const std::string& name, int& error) override {
    std::lock_guard<std::mutex> lock(FMutex);
    Removed.push_back(name);
    error = 0;
    return true;
  }
  // "source messageFile" and "source", in order.
  std::vector<std::string> Installed, Removed;
  // "source: text", in order.
  std::vector<std::string> Events() {
    std::lock_guard<std::mutex> lock(FMutex);
    return FEvents;
  }
  std::vector<std::string> Deregistered() {
    std::lock_guard<std::mutex> lock(FMutex);
    return FDeregistered;
  }

 private:
  std::mutex FMutex;
  std::vector<std::string> FSources, FEvents, FDeregistered;
};

class FakeFirewall : public platform::Firewall {
 public:
  void AddRule(const std::vector<platform::FirewallSetting>& settings) override {
    Calls.push_back("AddRule");
    if (!Failure.empty()) throw std::runtime_error(Failure);
    Added.push_back(settings);
  }
  void RemoveRule(const std::string& name) override {
    Calls.push_back("RemoveRule " + name);
    if (!Failure.empty()) throw std::runtime_error(Failure);
  }
  std::vector<std::string> Calls;
  std::vector<std::vector<platform::FirewallSetting>> Added;
  std::string Failure;  // thrown by every call when set
};

class FakeMessages : public platform::UserMessages {
 public:
  struct Message {
    platform::MessageKind kind;
    std::string title, text;
  };
  void Show(platform::MessageKind kind, const std::string& title, const std::string& text) override {
    Shown.push_back({kind, title, text});
  }
  std::vector<Message> Shown;
};

}  // namespace vtest
