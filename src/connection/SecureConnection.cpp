// SecureConnection: TLS on a connection that has just come up, before the
// log-in can go out on it (straight after the connect, or after the proxy
// opened the tunnel).

#include <transport/NetClient.h>

#include <cstdio>
#include <string>

#include "client/ClientInternals.h"
#include "connection/HostEntry.h"
#include "message/PartsLedger.h"

namespace {

constexpr unsigned long kErrorTls = 15;

}  // namespace

void CNetClient::SetTls(const transport::TlsSettings* settings) {
    std::lock_guard<std::mutex> lock(m_pInternals->tlsMutex);
    m_pInternals->tls =
        settings != nullptr ? std::make_unique<transport::TlsSettings>(*settings) : nullptr;
}

bool CNetClient::SecureConnection() {
    transport::TlsSettings settings;
    {
        std::lock_guard<std::mutex> lock(m_pInternals->tlsMutex);
        if (m_pInternals->tls == nullptr) return true;
        settings = *m_pInternals->tls;
    }
    const std::string host = transport::SplitHostEntry(m_pszCurrentHost).name;
    if (settings.serverName.empty()) settings.serverName = host;
    if (settings.insecureNoVerify) {
        NetClientTrace("TLS WARNING: the server's certificate is NOT verified (insecureNoVerify)");
    }

    std::string reason;
    const int code = m_pPlatform->StartTls(m_socket, settings, &reason);
    char text[512];
    if (code == 0) {
        std::snprintf(text, sizeof(text), "TLS established: %s", reason.c_str());
        NetClientTrace(text);
        return true;
    }
    // Suspended for a close or a new attempt: whoever asked takes over.
    if (code == transport::kErrInterrupted) return false;
    std::snprintf(text, sizeof(text), "TLS failed (%d): %s", code, reason.c_str());
    NetClientTrace(text);

    // Error 15 names the failure (the attachment's id) and its reason.
    NetMessage failure;
    failure.SetId(static_cast<unsigned long>(code));
    transport::AddText(failure.GetParams(), reason);
    transport::AddText(failure.GetParams(), host);
    NetError error;
    error.SetCode(kErrorTls);
    error.SetAttachment(failure);
    NetPackage package;
    package.SetKind(NetPackage::KIND_ERROR);
    package.SetBody(error);
    Deliver(package);
    GetSockError(true, code);
    return false;
}
