#include "platform/FolderAccess.h"

#include <windows.h>
#include <aclapi.h>
#include <wincrypt.h>

#include <cstring>
#include <vector>

#include "platform/Files.h"

namespace platform {
namespace {

const char kServiceDomain[] = "NT SERVICE\\";

bool Fail(DWORD code, SystemFailure& failure) {
  failure = {static_cast<int>(code), ErrorText(static_cast<int>(code))};
  return false;
}

// The SHA-1 of `bytes`, by the system's cryptographic provider.
bool Sha1(const std::vector<BYTE>& bytes, BYTE (&digest)[20]) {
  HCRYPTPROV provider = 0;
  if (!::CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT)) return false;
  HCRYPTHASH hash = 0;
  DWORD size = sizeof digest;
  const bool done = ::CryptCreateHash(provider, CALG_SHA1, 0, 0, &hash) &&
                    ::CryptHashData(hash, bytes.data(), static_cast<DWORD>(bytes.size()), 0) &&
                    ::CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0);
  const DWORD error = ::GetLastError();
  if (hash) ::CryptDestroyHash(hash);
  ::CryptReleaseContext(provider, 0);
  ::SetLastError(error);
  return done;
}

// A virtual account's SID is S-1-5-80 followed by the SHA-1 of the
// service's name in upper case (UTF-16LE), as five little-endian words: it
// is known before the service exists, and on systems whose account lookup
// does not know virtual accounts.
bool ServiceSid(const std::string& service, PSID& sid) {
  const int length = ::MultiByteToWideChar(CP_ACP, 0, service.c_str(), -1, nullptr, 0);
  std::vector<wchar_t> name(length > 0 ? length : 1);
  ::MultiByteToWideChar(CP_ACP, 0, service.c_str(), -1, name.data(), length);
  ::CharUpperBuffW(name.data(), static_cast<DWORD>(name.size() - 1));
  std::vector<BYTE> bytes;
  for (std::size_t i = 0; i + 1 < name.size(); ++i) {
    bytes.push_back(static_cast<BYTE>(name[i] & 0xFF));
    bytes.push_back(static_cast<BYTE>(name[i] >> 8));
  }
  BYTE digest[20];
  if (!Sha1(bytes, digest)) return false;
  DWORD words[5];
  std::memcpy(words, digest, sizeof words);
  SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
  return ::AllocateAndInitializeSid(&nt, 6, SECURITY_SERVICE_ID_BASE_RID, words[0], words[1], words[2], words[3],
                                    words[4], 0, 0, &sid);
}

bool StartsWithIgnoringCase(const std::string& text, const char* prefix) {
  const std::size_t n = std::strlen(prefix);
  return text.size() > n && ::_strnicmp(text.c_str(), prefix, n) == 0;
}

// The account's SID, to be freed with FreeSid (virtual accounts) or
// LocalFree (looked up); `allocated` says which.
bool AccountSid(const std::string& account, PSID& sid, bool& allocated) {
  allocated = StartsWithIgnoringCase(account, kServiceDomain);
  if (allocated) return ServiceSid(account.substr(std::strlen(kServiceDomain)), sid);
  DWORD sidSize = 0, domainSize = 0;
  SID_NAME_USE use;
  ::LookupAccountNameA(nullptr, account.c_str(), nullptr, &sidSize, nullptr, &domainSize, &use);
  if (sidSize == 0) return false;
  sid = ::LocalAlloc(LPTR, sidSize);
  std::vector<char> domain(domainSize + 1);
  if (::LookupAccountNameA(nullptr, account.c_str(), sid, &sidSize, domain.data(), &domainSize, &use)) return true;
  const DWORD error = ::GetLastError();
  ::LocalFree(sid);
  ::SetLastError(error);
  return false;
}

}  // namespace

bool MakeFolder(const std::string& path, SystemFailure& failure) {
  if (::CreateDirectoryA(path.c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS) return true;
  return Fail(::GetLastError(), failure);
}

bool GrantFolderAccess(const std::string& account, const std::string& path, FolderRights rights,
                       SystemFailure& failure) {
  PSID sid = nullptr;
  bool allocated = false;
  if (!AccountSid(account, sid, allocated)) return Fail(::GetLastError(), failure);

  PACL oldList = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD result = ::GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                         &oldList, nullptr, &descriptor);
  PACL newList = nullptr;
  if (result == ERROR_SUCCESS) {
    EXPLICIT_ACCESSA entry{};
    entry.grfAccessPermissions = rights == FolderRights::kModify
                                     ? FILE_GENERIC_READ | FILE_GENERIC_WRITE | FILE_GENERIC_EXECUTE | DELETE
                                     : FILE_GENERIC_READ | FILE_GENERIC_EXECUTE;
    entry.grfAccessMode = GRANT_ACCESS;
    entry.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_UNKNOWN;
    entry.Trustee.ptstrName = static_cast<LPSTR>(sid);
    result = ::SetEntriesInAclA(1, &entry, oldList, &newList);
  }
  if (result == ERROR_SUCCESS)
    result = ::SetNamedSecurityInfoA(const_cast<char*>(path.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                     nullptr, nullptr, newList, nullptr);
  if (newList) ::LocalFree(newList);
  if (descriptor) ::LocalFree(descriptor);
  if (allocated)
    ::FreeSid(sid);
  else
    ::LocalFree(sid);
  if (result != ERROR_SUCCESS) return Fail(result, failure);
  failure = {};
  return true;
}

}  // namespace platform
