#ifndef TRANSPORT_TESTS_SUPPORT_TLS_PARTS_H
#define TRANSPORT_TESTS_SUPPORT_TLS_PARTS_H

// The real parts of the TLS tests: certificates made at run time by
// scripts/make-certs (once per process), and stunnel4 as the TLS terminator
// in front of a clear-text port on loopback.

#include <cstdint>
#include <memory>
#include <string>

#include "support/Subprocess.h"

namespace transport {
namespace test {

// "<folder>/<name>.pem" of a certificate (or ".key" of its key); the folder
// is empty, and so are the paths, when the certificates cannot be made.
std::string Certificate(const std::string& name);
std::string CertificateKey(const std::string& name);
// The SHA-256 of a certificate's public key, in hex: what a pin names.
std::string PinOf(const std::string& name);
// openssl and stunnel4 are both there.
bool TlsPartsAvailable();

class TlsTerminator {
public:
    // Accepts TLS on an ephemeral port of 127.0.0.1 with the named
    // certificate and hands the clear text to backend; with clientCa, only
    // clients whose certificate that CA signed get through.
    TlsTerminator(std::uint16_t backend, const std::string& certificate,
                  const std::string& clientCa = std::string());
    std::uint16_t Port() const { return port_; }
    bool Ready() const { return ready_; }

private:
    std::uint16_t port_ = 0;
    std::unique_ptr<Child> child_;
    bool ready_ = false;
};

}  // namespace test
}  // namespace transport

#endif
