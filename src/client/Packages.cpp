// SetError and SetInformation fill a package with an error or information
// record; Deliver hands a package to the handler.

#include <transport/NetClient.h>

#include "client/ClientInternals.h"

namespace {

constexpr unsigned long kErrorRefused = 7;
constexpr unsigned long kInformationDelivered = 1;

}  // namespace

void CNetClient::SetError(NetPackage& package, unsigned long code) {
    package.SetKind(NetPackage::KIND_ERROR);
    NetError error;
    error.SetCode(code);
    if (code == kErrorRefused) m_pInternals->outbox.AttachInFlight(error, LoggingIn());
    package.SetBody(error);
}

void CNetClient::SetInformation(NetPackage& package, unsigned long code, int value1,
                                int value2) {
    package.SetKind(NetPackage::KIND_INFORMATION);
    NetInformation information;
    information.SetCode(code);
    if (code == kInformationDelivered) {
        m_pInternals->outbox.AttachInFlight(information, LoggingIn());
    }
    information.SetValues(value1, value2);
    package.SetBody(information);
}

bool CNetClient::LoggingIn() {
    // The log-in goes out on a socket that is up before the client is logged in.
    return GetConnectionState() == CONN_SOCKET_CONNECTED;
}

void CNetClient::Deliver(NetPackage& package) {
    NetHandler handler = m_pNetHandler;
    if (handler != nullptr) handler(&package);
}
