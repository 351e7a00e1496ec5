// TLS checks before anything is sent: stunnel4 presents a certificate of
// the test CA's (or one it should not) in front of the peer; every refusal
// is error 15 naming its reason, nothing reaches the wire on that
// connection, and the walk goes on. What the checks let through logs in.

#include "e2e/E2eFixture.h"

namespace e2e {
namespace {

using transport::test::Certificate;
using transport::test::CertificateKey;

struct TlsCase {
    const char* certificate;  // what the terminator presents
    void (*settings)(transport::TlsSettings&);
    int code;  // of error 15; 0: logs in
    const char* clientCa = "";  // the terminator asks for a client certificate
    bool plainPeer = false;  // no terminator: the peer itself, in clear text
};

class Checks : public E2e, public ::testing::WithParamInterface<TlsCase> {};

TEST_P(Checks, RefusedBeforeTheLoginOrLoggedIn) {
    const TlsCase c = GetParam();
    REQUIRE_REAL_PART(transport::test::TlsPartsAvailable(), "openssl and stunnel4");
    tls_ = std::make_unique<transport::test::TlsTerminator>(peer_.Port(), c.certificate, c.clientCa);
    ASSERT_TRUE(tls_->Ready());
    UseClock(50);
    if (c.plainPeer) ports_->Route("127.0.0.1", 800, {peer_.Port()});
    tlsSettings_.caFile = Certificate("ca");
    c.settings(tlsSettings_);
    LogIn();
    if (c.code == 0) {
        ASSERT_TRUE(LoggedIn());
        EXPECT_EQ(trace_->Contains("TLS WARNING: the server's certificate is NOT verified"),
                  tlsSettings_.insecureNoVerify);
        return;
    }
    // Refused again on the next attempt: the walk went on.
    ASSERT_TRUE(Have("error 15 " + std::to_string(c.code), 2)) << ::testing::PrintToString(Packages());
    client_->Close(false);
    EXPECT_TRUE(peer_.Frames().empty());  // no log-in, so no answer to it either
    for (std::size_t i = 0; i < ports_->Targets().size(); ++i) EXPECT_EQ(ports_->Sent(i), "") << i;
    const std::vector<Package> all = PackageLog::All();
    const auto* error = dynamic_cast<const NetError*>(all.at(0)->m_pBody);
    ASSERT_NE(error, nullptr);
    const auto* failure = dynamic_cast<const NetMessage*>(error->m_pMessage);
    ASSERT_NE(failure, nullptr);
    EXPECT_NE(ParamBytes(*failure, 0), "");             // the reason
    EXPECT_EQ(ParamBytes(*failure, 1), std::string("127.0.0.1") + '\0');  // the host
}

void Defaults(transport::TlsSettings&) {}

INSTANTIATE_TEST_SUITE_P(
    Certificates, Checks,
    ::testing::Values(
        TlsCase{"stranger", &Defaults, transport::kErrTlsCertificate},
        TlsCase{"othername", &Defaults, transport::kErrTlsName},
        TlsCase{"server", [](transport::TlsSettings& s) { s.serverName = "elsewhere.test"; }, transport::kErrTlsName},
        TlsCase{"expired", &Defaults, transport::kErrTlsExpired},
        TlsCase{"server", [](transport::TlsSettings& s) { s.pinSha256 = transport::test::PinOf("stranger"); },
                transport::kErrTlsPin},
        TlsCase{"server", [](transport::TlsSettings& s) { s.caFile += ".missing"; }, transport::kErrTlsSetup},
        TlsCase{"server", [](transport::TlsSettings& s) { s.timeoutMs = 300; }, transport::kErrTlsTimeout, "", true},
        // A name the certificate lists, instead of the address.
        TlsCase{"server", [](transport::TlsSettings& s) { s.serverName = "localhost"; }, 0},
        // Pinned and otherwise unchecked: the pin alone decides.
        TlsCase{"stranger",
                [](transport::TlsSettings& s) {
                    s.pinSha256 = transport::test::PinOf("stranger");
                    s.insecureNoVerify = true;
                },
                0},
        TlsCase{"server",
                [](transport::TlsSettings& s) {
                    s.certFile = Certificate("client");
                    s.keyFile = CertificateKey("client");
                },
                0, "ca"}));

}  // namespace
}  // namespace e2e
