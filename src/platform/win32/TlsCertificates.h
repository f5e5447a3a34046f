#pragma once
// Certificates and keys for SChannel, read from the same PEM files the
// POSIX build reads, and the checks of a peer's certificate that SChannel
// leaves to the caller (a private authority, a name or an address).

#include <windows.h>
#include <wincrypt.h>

#include <memory>
#include <string>

namespace platform {

struct StoreCloser {
  void operator()(HCERTSTORE store) const { ::CertCloseStore(store, 0); }
};
struct CertificateFreer {
  void operator()(PCCERT_CONTEXT certificate) const { ::CertFreeCertificateContext(certificate); }
};
using ScopedStore = std::unique_ptr<void, StoreCloser>;
using ScopedCertificate = std::unique_ptr<const CERT_CONTEXT, CertificateFreer>;

// A certificate with its private key attached, for SChannel to present:
// the first certificate of `certificateFile` (the ones after it, the
// intermediates, are kept in the same store for the chain SChannel sends),
// and the RSA key of `keyFile` (PKCS#8 "PRIVATE KEY" or PKCS#1 "RSA PRIVATE
// KEY", not encrypted). False with `error` naming the file and the reason,
// a key that does not match the certificate included.
bool LoadCertificateWithKey(const std::string& certificateFile, const std::string& keyFile,
                            ScopedCertificate& certificate, std::string& error);

// Every certificate of a PEM bundle, in a store of its own. False with
// `error` ("<what> <file>: <reason>") when the file cannot be read or holds
// no certificate.
bool LoadAuthorities(const std::string& what, const std::string& file, ScopedStore& store, std::string& error);

// Whether the peer's certificate chains to one of `authorities` (the
// system's trusted roots when null) and, where `serverName` is not empty,
// names that host or address. `clientCertificate` asks for a certificate
// made for client authentication instead of a server's. False with the
// reason in `error`.
bool VerifyPeerCertificate(PCCERT_CONTEXT peer, HCERTSTORE authorities, const std::string& serverName,
                           bool clientCertificate, std::string& error);

// The common name in the certificate's subject; empty without one.
std::string CommonName(PCCERT_CONTEXT certificate);

}  // namespace platform
