#include "platform/win32/TlsCertificates.h"

#include <ncrypt.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/IpAddress.h"

namespace platform {

namespace {

// The SSL policy's flag to accept a root the system does not trust; the
// root was already checked against the caller's own authorities.
constexpr DWORD kIgnoreUnknownAuthority = 0x00000100;  // SECURITY_FLAG_IGNORE_UNKNOWN_CA

struct PemBlock {
  std::string label;  // "CERTIFICATE", "PRIVATE KEY", ...
  std::vector<BYTE> der;
};

bool ReadText(const std::string& what, const std::string& file, std::string& text, std::string& error) {
  std::FILE* f = std::fopen(file.c_str(), "rb");
  if (f == nullptr) {
    error = what + " " + file + ": " + std::strerror(errno);
    return false;
  }
  char chunk[4096];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) text.append(chunk, n);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) error = what + " " + file + ": cannot be read";
  return !failed;
}

// Every "-----BEGIN X-----" ... "-----END X-----" block, decoded; a block
// whose base64 does not decode ends the list with an empty one.
std::vector<PemBlock> PemBlocks(const std::string& text) {
  static const std::string kBegin = "-----BEGIN ";
  std::vector<PemBlock> blocks;
  for (std::size_t at = text.find(kBegin); at != std::string::npos; at = text.find(kBegin, at)) {
    const std::size_t labelEnd = text.find("-----", at + kBegin.size());
    if (labelEnd == std::string::npos) break;
    PemBlock block;
    block.label = text.substr(at + kBegin.size(), labelEnd - at - kBegin.size());
    const std::string end = "-----END " + block.label + "-----";
    const std::size_t endAt = text.find(end, labelEnd);
    if (endAt == std::string::npos) break;
    const std::string pem = text.substr(at, endAt + end.size() - at);
    DWORD size = 0;
    if (::CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER, nullptr,
                               &size, nullptr, nullptr)) {
      block.der.resize(size);
      if (!::CryptStringToBinaryA(pem.c_str(), static_cast<DWORD>(pem.size()), CRYPT_STRING_BASE64HEADER,
                                  block.der.data(), &size, nullptr, nullptr))
        block.der.clear();
    }
    blocks.push_back(std::move(block));
    if (blocks.back().der.empty()) break;
    at = endAt + end.size();
  }
  return blocks;
}

// One DER element at `p`: its tag, and its contents as [content, content +
// length). False when it runs past `end`.
bool ReadElement(const BYTE*& p, const BYTE* end, BYTE& tag, const BYTE*& content, std::size_t& length) {
  if (end - p < 2) return false;
  tag = *p++;
  std::size_t size = *p++;
  if (size & 0x80) {
    const int bytes = static_cast<int>(size & 0x7F);
    if (bytes == 0 || bytes > 4 || end - p < bytes) return false;
    size = 0;
    for (int i = 0; i < bytes; ++i) size = (size << 8) | *p++;
  }
  if (static_cast<std::size_t>(end - p) < size) return false;
  content = p;
  length = size;
  p += size;
  return true;
}

// The PKCS#1 RSA key inside a PKCS#8 PrivateKeyInfo: SEQUENCE { INTEGER
// version, SEQUENCE { OID, parameters }, OCTET STRING key }. The system's
// decoder for PrivateKeyInfo is missing on some systems; the wrapper is
// small enough to take apart here.
bool UnwrapPkcs8(const std::vector<BYTE>& der, std::vector<BYTE>& rsa, std::string& reason) {
  static const BYTE kRsaEncryption[] = {0x06, 0x09, 0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x01, 0x01};
  const BYTE* p = der.data();
  const BYTE* content = nullptr;
  std::size_t length = 0;
  BYTE tag = 0;
  reason = "not a readable private key";
  if (!ReadElement(p, der.data() + der.size(), tag, content, length) || tag != 0x30) return false;
  const BYTE* end = content + length;
  p = content;
  if (!ReadElement(p, end, tag, content, length) || tag != 0x02) return false;
  if (!ReadElement(p, end, tag, content, length) || tag != 0x30) return false;
  if (length < sizeof kRsaEncryption || std::memcmp(content, kRsaEncryption, sizeof kRsaEncryption) != 0) {
    reason = "not an RSA key (the Windows build takes RSA keys only)";
    return false;
  }
  if (!ReadElement(p, end, tag, content, length) || tag != 0x04) return false;
  rsa.assign(content, content + length);
  return true;
}

// The key file's RSA key in PKCS#1 form.
bool RsaKeyFromPem(const std::string& text, std::vector<BYTE>& rsa, std::string& reason) {
  if (text.find("ENCRYPTED PRIVATE KEY") != std::string::npos || text.find("Proc-Type: 4,ENCRYPTED") != std::string::npos) {
    reason = "the key is encrypted; the server needs it unencrypted";
    return false;
  }
  for (PemBlock& block : PemBlocks(text)) {
    if (block.der.empty()) break;
    if (block.label == "RSA PRIVATE KEY") {
      rsa = std::move(block.der);
      return true;
    }
    if (block.label == "PRIVATE KEY") return UnwrapPkcs8(block.der, rsa, reason);
    if (block.label == "EC PRIVATE KEY") {
      reason = "not an RSA key (the Windows build takes RSA keys only)";
      return false;
    }
  }
  reason = "no private key in PEM form";
  return false;
}

// Whether the private key blob (PRIVATEKEYBLOB) holds the key pair whose
// public half the certificate carries: the same modulus and exponent.
bool KeyMatches(PCCERT_CONTEXT certificate, const BYTE* privateBlob, DWORD privateSize) {
  const CERT_PUBLIC_KEY_INFO& info = certificate->pCertInfo->SubjectPublicKeyInfo;
  BYTE* publicBlob = nullptr;
  DWORD publicSize = 0;
  if (!::CryptDecodeObjectEx(X509_ASN_ENCODING, RSA_CSP_PUBLICKEYBLOB, info.PublicKey.pbData, info.PublicKey.cbData,
                             CRYPT_DECODE_ALLOC_FLAG, nullptr, &publicBlob, &publicSize))
    return false;
  constexpr DWORD kHeader = sizeof(BLOBHEADER) + sizeof(RSAPUBKEY);
  bool same = false;
  if (publicSize >= kHeader && privateSize >= kHeader) {
    const auto* mine = reinterpret_cast<const RSAPUBKEY*>(privateBlob + sizeof(BLOBHEADER));
    const auto* theirs = reinterpret_cast<const RSAPUBKEY*>(publicBlob + sizeof(BLOBHEADER));
    const DWORD modulus = theirs->bitlen / 8;
    same = mine->bitlen == theirs->bitlen && mine->pubexp == theirs->pubexp && publicSize >= kHeader + modulus &&
           privateSize >= kHeader + modulus &&
           std::memcmp(privateBlob + kHeader, publicBlob + kHeader, modulus) == 0;
  }
  ::LocalFree(publicBlob);
  return same;
}

std::string Thumbprint(PCCERT_CONTEXT certificate) {
  BYTE hash[20];
  DWORD size = sizeof hash;
  if (!::CertGetCertificateContextProperty(certificate, CERT_SHA1_HASH_PROP_ID, hash, &size)) return "unknown";
  std::string text;
  char digits[3];
  for (DWORD i = 0; i < size; ++i) {
    std::snprintf(digits, sizeof digits, "%02X", hash[i]);
    text += digits;
  }
  return text;
}

// The key goes into a named key container, attached to the certificate:
// SChannel takes a key from a container, not from memory (on Windows it runs
// in the system's security process, which cannot see this process's memory).
// The container is named after the certificate, so that a restart or a
// reload of the same pair reuses it rather than leaving another one behind.
//
// The system's key storage provider (CNG) comes first: TLS 1.3 signs with
// RSA-PSS, which the older CryptoAPI providers cannot do. Where CNG refuses
// to import a private key (Wine), the CryptoAPI provider takes it; its key
// is exportable because Wine's SChannel reads the key out of the container.
bool AttachCngKey(PCCERT_CONTEXT certificate, const std::wstring& container, const BYTE* blob, DWORD size) {
  NCRYPT_PROV_HANDLE provider = 0;
  if (::NCryptOpenStorageProvider(&provider, MS_KEY_STORAGE_PROVIDER, 0) != ERROR_SUCCESS) return false;
  std::wstring name = container;
  NCryptBuffer parameter{static_cast<ULONG>((name.size() + 1) * sizeof(wchar_t)), NCRYPTBUFFER_PKCS_KEY_NAME,
                         name.data()};
  NCryptBufferDesc parameters{NCRYPTBUFFER_VERSION, 1, &parameter};
  NCRYPT_KEY_HANDLE key = 0;
  const bool imported = ::NCryptImportKey(provider, 0, LEGACY_RSAPRIVATE_BLOB, &parameters, &key,
                                          const_cast<BYTE*>(blob), size, NCRYPT_OVERWRITE_KEY_FLAG) == ERROR_SUCCESS;
  if (imported) ::NCryptFreeObject(key);
  ::NCryptFreeObject(provider);
  if (!imported) return false;
  std::wstring providerName = MS_KEY_STORAGE_PROVIDER;
  CRYPT_KEY_PROV_INFO info{};
  info.pwszContainerName = name.data();
  info.pwszProvName = providerName.data();
  info.dwProvType = 0;  // a CNG key
  info.dwKeySpec = 0;
  return ::CertSetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, 0, &info) != 0;
}

bool AttachCryptoApiKey(PCCERT_CONTEXT certificate, const std::wstring& container, const BYTE* blob, DWORD size,
                        std::string& reason) {
  HCRYPTPROV provider = 0;
  if (!::CryptAcquireContextW(&provider, container.c_str(), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_SILENT) &&
      !::CryptAcquireContextW(&provider, container.c_str(), MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES,
                              CRYPT_NEWKEYSET | CRYPT_SILENT)) {
    reason = "cannot create a key container (error " + std::to_string(::GetLastError()) + ")";
    return false;
  }
  HCRYPTKEY key = 0;
  const bool imported = ::CryptImportKey(provider, blob, size, 0, CRYPT_EXPORTABLE, &key) != 0;
  const DWORD importError = ::GetLastError();
  if (imported) ::CryptDestroyKey(key);
  ::CryptReleaseContext(provider, 0);
  if (!imported) {
    reason = "the system refused the key (error " + std::to_string(importError) + ")";
    return false;
  }
  std::wstring name = container;
  std::wstring providerName = MS_ENH_RSA_AES_PROV_W;
  CRYPT_KEY_PROV_INFO info{};
  info.pwszContainerName = name.data();
  info.pwszProvName = providerName.data();
  info.dwProvType = PROV_RSA_AES;
  info.dwKeySpec = AT_KEYEXCHANGE;
  if (!::CertSetCertificateContextProperty(certificate, CERT_KEY_PROV_INFO_PROP_ID, 0, &info)) {
    reason = "cannot attach the key to the certificate (error " + std::to_string(::GetLastError()) + ")";
    return false;
  }
  return true;
}

bool AttachKey(PCCERT_CONTEXT certificate, const BYTE* blob, DWORD size, std::string& reason) {
  const std::string name = "VardexServer " + Thumbprint(certificate);
  const std::wstring container(name.begin(), name.end());
  return AttachCngKey(certificate, container, blob, size) ||
         AttachCryptoApiKey(certificate, container, blob, size, reason);
}

bool InStore(HCERTSTORE store, PCCERT_CONTEXT certificate) {
  PCCERT_CONTEXT found =
      ::CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, certificate, nullptr);
  if (found == nullptr) return false;
  ::CertFreeCertificateContext(found);
  return true;
}

std::string ChainErrorText(DWORD errors) {
  if (errors & CERT_TRUST_IS_NOT_TIME_VALID) return "the certificate has expired or is not yet valid";
  if (errors & CERT_TRUST_IS_REVOKED) return "the certificate is revoked";
  if (errors & CERT_TRUST_IS_NOT_SIGNATURE_VALID) return "a signature in the certificate chain is not valid";
  if (errors & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) return "the certificate is not made for this use";
  if (errors & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN))
    return "the certificate is not signed by a trusted authority";
  char text[64];
  std::snprintf(text, sizeof text, "the certificate chain is not valid (status 0x%lx)", errors);
  return text;
}

// An IP literal is checked against the certificate's addresses here: the
// system's SSL policy matches host names only.
bool NamesAddress(PCCERT_CONTEXT certificate, const IpAddress& address) {
  const CERT_EXTENSION* extension =
      ::CertFindExtension(szOID_SUBJECT_ALT_NAME2, certificate->pCertInfo->cExtension, certificate->pCertInfo->rgExtension);
  if (extension == nullptr) return false;
  CERT_ALT_NAME_INFO* names = nullptr;
  DWORD size = 0;
  if (!::CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData, extension->Value.cbData,
                             CRYPT_DECODE_ALLOC_FLAG, nullptr, &names, &size))
    return false;
  bool found = false;
  for (DWORD i = 0; i < names->cAltEntry && !found; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
    if (entry.dwAltNameChoice != CERT_ALT_NAME_IP_ADDRESS) continue;
    const BYTE* bytes = entry.IPAddress.pbData;
    if (address.IsV4() && entry.IPAddress.cbData == 4) {
      const std::uint32_t value = (std::uint32_t(bytes[0]) << 24) | (bytes[1] << 16) | (bytes[2] << 8) | bytes[3];
      found = value == address.V4Value();
    } else if (!address.IsV4() && entry.IPAddress.cbData == 16) {
      found = std::memcmp(bytes, address.V6Bytes().data(), 16) == 0;
    }
  }
  ::LocalFree(names);
  return found;
}

// The host name check, by the system's SSL policy.
bool NamesHost(PCCERT_CHAIN_CONTEXT chain, const std::string& host, bool privateAuthority, std::string& error) {
  std::wstring wide(host.begin(), host.end());
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
  ssl.cbSize = sizeof ssl;
  ssl.dwAuthType = AUTHTYPE_SERVER;
  ssl.fdwChecks = privateAuthority ? kIgnoreUnknownAuthority : 0;
  ssl.pwszServerName = wide.data();
  CERT_CHAIN_POLICY_PARA policy{};
  policy.cbSize = sizeof policy;
  policy.dwFlags = privateAuthority ? CERT_CHAIN_POLICY_ALLOW_UNKNOWN_CA_FLAG : 0;
  policy.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS status{};
  status.cbSize = sizeof status;
  if (!::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status)) {
    error = "the system cannot check the certificate's name";
    return false;
  }
  if (status.dwError == 0) return true;
  if (status.dwError == static_cast<DWORD>(CERT_E_CN_NO_MATCH)) {
    error = "the certificate does not name " + host;
  } else {
    char text[80];
    std::snprintf(text, sizeof text, "the certificate is refused for %s (0x%08lx)", host.c_str(), status.dwError);
    error = text;
  }
  return false;
}

}  // namespace

bool LoadCertificateWithKey(const std::string& certificateFile, const std::string& keyFile,
                            ScopedCertificate& certificate, std::string& error) {
  std::string text;
  if (!ReadText("certificate", certificateFile, text, error)) return false;
  ScopedStore store(::CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
  PCCERT_CONTEXT leaf = nullptr;
  for (const PemBlock& block : PemBlocks(text)) {
    if (block.label != "CERTIFICATE") continue;
    PCCERT_CONTEXT added = nullptr;
    if (block.der.empty() || !::CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, block.der.data(),
                                                                  static_cast<DWORD>(block.der.size()),
                                                                  CERT_STORE_ADD_ALWAYS, leaf ? nullptr : &added)) {
      if (leaf) ::CertFreeCertificateContext(leaf);
      error = "certificate " + certificateFile + ": not a readable certificate";
      return false;
    }
    if (!leaf) leaf = added;
  }
  if (leaf == nullptr) {
    error = "certificate " + certificateFile + ": no certificate in PEM form";
    return false;
  }
  // The context keeps its store open.
  certificate.reset(leaf);

  std::string keyText, reason;
  std::vector<BYTE> rsa;
  if (!ReadText("key", keyFile, keyText, error)) return false;
  if (!RsaKeyFromPem(keyText, rsa, reason)) {
    error = "key " + keyFile + ": " + reason;
    return false;
  }
  BYTE* blob = nullptr;
  DWORD size = 0;
  if (!::CryptDecodeObjectEx(X509_ASN_ENCODING, PKCS_RSA_PRIVATE_KEY, rsa.data(), static_cast<DWORD>(rsa.size()),
                             CRYPT_DECODE_ALLOC_FLAG, nullptr, &blob, &size)) {
    error = "key " + keyFile + ": not a readable RSA private key";
    return false;
  }
  bool ok = true;
  if (!KeyMatches(leaf, blob, size)) {
    error = "key " + keyFile + ": does not match the certificate " + certificateFile;
    ok = false;
  } else if (!AttachKey(leaf, blob, size, reason)) {
    error = "key " + keyFile + ": " + reason;
    ok = false;
  }
  ::SecureZeroMemory(blob, size);
  ::LocalFree(blob);
  ::SecureZeroMemory(rsa.data(), rsa.size());
  return ok;
}

bool LoadAuthorities(const std::string& what, const std::string& file, ScopedStore& store, std::string& error) {
  std::string text;
  if (!ReadText(what, file, text, error)) return false;
  store.reset(::CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr));
  int count = 0;
  for (const PemBlock& block : PemBlocks(text)) {
    if (block.label != "CERTIFICATE") continue;
    if (block.der.empty() ||
        !::CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, block.der.data(),
                                            static_cast<DWORD>(block.der.size()), CERT_STORE_ADD_ALWAYS, nullptr)) {
      error = what + " " + file + ": not a readable certificate";
      return false;
    }
    ++count;
  }
  if (count == 0) {
    error = what + " " + file + ": no certificate in PEM form";
    return false;
  }
  return true;
}

bool VerifyPeerCertificate(PCCERT_CONTEXT peer, HCERTSTORE authorities, const std::string& serverName,
                           bool clientCertificate, std::string& error) {
  // The chain may pass through the intermediates the peer sent and the
  // caller's authorities.
  ScopedStore extra(::CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr));
  if (peer->hCertStore != nullptr) ::CertAddStoreToCollection(extra.get(), peer->hCertStore, 0, 0);
  if (authorities != nullptr) ::CertAddStoreToCollection(extra.get(), authorities, 0, 0);
  LPSTR usage = const_cast<LPSTR>(clientCertificate ? szOID_PKIX_KP_CLIENT_AUTH : szOID_PKIX_KP_SERVER_AUTH);
  CERT_CHAIN_PARA para{};
  para.cbSize = sizeof para;
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = &usage;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  if (!::CertGetCertificateChain(nullptr, peer, nullptr, extra.get(), &para, 0, nullptr, &chain)) {
    error = "the system cannot build the certificate chain";
    return false;
  }
  // Revocation is not asked for; its status stays unknown.
  DWORD errors = chain->TrustStatus.dwErrorStatus &
                 ~static_cast<DWORD>(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION);
  bool ok = true;
  if (authorities != nullptr) {
    // A private authority: the chain must end at one of its certificates,
    // which the system does not know as a trusted root.
    const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
    const PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
    if (!InStore(authorities, root)) {
      error = "the certificate is not signed by the given authority";
      ok = false;
    }
    errors &= ~static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT);
  }
  if (ok && errors != 0) {
    error = ChainErrorText(errors);
    ok = false;
  }
  IpAddress literal;
  if (ok && !serverName.empty()) {
    if (IpAddress::Parse(serverName, literal)) {
      if (!NamesAddress(peer, literal)) {
        error = "the certificate does not name " + serverName;
        ok = false;
      }
    } else {
      ok = NamesHost(chain, serverName, authorities != nullptr, error);
    }
  }
  ::CertFreeCertificateChain(chain);
  return ok;
}

std::string CommonName(PCCERT_CONTEXT certificate) {
  char name[256] = {0};
  const DWORD n = ::CertGetNameStringA(certificate, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME),
                                       name, sizeof name);
  return n > 1 ? std::string(name) : std::string();
}

}  // namespace platform
