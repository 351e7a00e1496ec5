#include "support/TlsParts.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>

namespace transport {
namespace test {
namespace {

const std::string& Folder() {
    static const std::string folder = [] {
        const std::string made = ::testing::TempDir() + "certs-" + std::to_string(getpid());
        const bool ok = RunProgram({"mkdir", "-p", made}) &&
                        RunProgram({"sh", TRANSPORT_CERTS_SCRIPT, made});
        return ok ? made : std::string();
    }();
    return folder;
}

}  // namespace

std::string Certificate(const std::string& name) {
    return Folder().empty() ? std::string() : Folder() + "/" + name + ".pem";
}

std::string CertificateKey(const std::string& name) {
    return Folder().empty() ? std::string() : Folder() + "/" + name + ".key";
}

std::string PinOf(const std::string& name) {
    const std::string command = "openssl x509 -in '" + Certificate(name) +
                                "' -pubkey -noout | openssl pkey -pubin -outform der | "
                                "openssl dgst -sha256 -r";
    std::string digest;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char text[128] = {};
        if (std::fgets(text, sizeof(text), pipe) != nullptr) digest.assign(text, 64);
        pclose(pipe);
    }
    return digest;
}

bool TlsPartsAvailable() {
    return !Folder().empty() && RunProgram({"sh", "-c", "command -v stunnel4"});
}

TlsTerminator::TlsTerminator(std::uint16_t backend, const std::string& certificate,
                             const std::string& clientCa) {
    const int reserved = BindLoopback("127.0.0.1", &port_);
    if (reserved < 0) return;
    close(reserved);
    const std::string config = ::testing::TempDir() + "stunnel-" + std::to_string(port_) + ".conf";
    std::ofstream(config) << "foreground = yes\npid =\n[tls]\naccept = 127.0.0.1:" << port_
                          << "\nconnect = 127.0.0.1:" << backend << "\ncert = "
                          << Certificate(certificate) << "\nkey = " << CertificateKey(certificate)
                          << "\nTIMEOUTclose = 0\n"
                          << (clientCa.empty() ? "" : "verifyChain = yes\nCAfile = " + Certificate(clientCa) + "\n");
    child_ = std::make_unique<Child>(std::vector<std::string>{"stunnel4", config});
    ready_ = child_->Accepts("127.0.0.1", port_);
}

}  // namespace test
}  // namespace transport
