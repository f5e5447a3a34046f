#include "platform/Firewall.h"

#include <initguid.h>
#include <windows.h>
#include <netfw.h>
#include <oleauto.h>

#include <memory>
#include <stdexcept>

#include "platform/Files.h"

namespace platform {
namespace {

struct Releaser {
  void operator()(IUnknown* object) const { object->Release(); }
};
template <typename T>
using ComPtr = std::unique_ptr<T, Releaser>;

void Check(HRESULT result) {
  if (FAILED(result)) throw std::runtime_error(ErrorText(static_cast<int>(result)));
}

template <typename T>
ComPtr<T> Create(REFCLSID type, REFIID face, const char* progId) {
  void* object = nullptr;
  HRESULT result = ::CoCreateInstance(type, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, face, &object);
  if (FAILED(result))
    throw std::runtime_error(ErrorText(static_cast<int>(result)) + ", ProgID: \"" + progId + "\"");
  return ComPtr<T>(static_cast<T*>(object));
}

// A BSTR of the text in the system's code page, freed at the end of scope.
class Bstr {
 public:
  explicit Bstr(const std::string& text) {
    int length = ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    FValue = ::SysAllocStringLen(nullptr, static_cast<UINT>(length));
    if (!FValue) throw std::runtime_error(ErrorText(static_cast<int>(E_OUTOFMEMORY)));
    ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), FValue, length);
  }
  ~Bstr() { ::SysFreeString(FValue); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  BSTR get() const { return FValue; }

 private:
  BSTR FValue = nullptr;
};

void Apply(INetFwRule* rule, const FirewallSetting& setting) {
  switch (setting.property) {
    case FirewallProperty::kName: Check(rule->put_Name(Bstr(setting.text).get())); break;
    case FirewallProperty::kDescription: Check(rule->put_Description(Bstr(setting.text).get())); break;
    case FirewallProperty::kApplicationName: Check(rule->put_ApplicationName(Bstr(setting.text).get())); break;
    case FirewallProperty::kProtocol: Check(rule->put_Protocol(setting.number)); break;
    case FirewallProperty::kEnabled: Check(rule->put_Enabled(setting.number ? VARIANT_TRUE : VARIANT_FALSE)); break;
    case FirewallProperty::kProfiles: Check(rule->put_Profiles(setting.number)); break;
    case FirewallProperty::kAction: Check(rule->put_Action(static_cast<NET_FW_ACTION>(setting.number))); break;
  }
}

ComPtr<INetFwRules> PolicyRules(ComPtr<INetFwPolicy2>& policy) {
  policy = Create<INetFwPolicy2>(CLSID_NetFwPolicy2, IID_INetFwPolicy2, "HNetCfg.FwPolicy2");
  INetFwRules* rules = nullptr;
  Check(policy->get_Rules(&rules));
  return ComPtr<INetFwRules>(rules);
}

// Through the published interfaces rather than late binding by name, which
// not every implementation of the automation objects supports.
class WindowsFirewall : public Firewall {
 public:
  void AddRule(const std::vector<FirewallSetting>& settings) override {
    ComPtr<INetFwPolicy2> policy;
    ComPtr<INetFwRules> rules = PolicyRules(policy);
    ComPtr<INetFwRule> rule = Create<INetFwRule>(CLSID_NetFwRule, IID_INetFwRule, "HNetCfg.FWRule");
    for (const FirewallSetting& setting : settings) Apply(rule.get(), setting);
    Check(rules->Add(rule.get()));
  }

  void RemoveRule(const std::string& name) override {
    ComPtr<INetFwPolicy2> policy;
    ComPtr<INetFwRules> rules = PolicyRules(policy);
    Check(rules->Remove(Bstr(name).get()));
  }
};

}  // namespace

Firewall& SystemFirewall() {
  static WindowsFirewall firewall;
  return firewall;
}

void InitializeAutomation() { ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }

}  // namespace platform
