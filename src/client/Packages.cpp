// SetError and SetInformation fill a package with an error or information
// record; Deliver hands a package to the handlers; ReportConnection tells
// them what the connection does.

#include <transport/NetClient.h>

#include <cstdio>

#include "client/ClientInternals.h"
#include "connection/HostEntry.h"

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
    NetContextHandler withContext = m_pInternals->contextHandler;
    if (withContext != nullptr) withContext(&package, m_pInternals->context);
}

void CNetClient::SetNetHandler(NetContextHandler handler, void* context) {
    // The pointer first: a handler is never called with another's pointer.
    m_pInternals->contextHandler = nullptr;
    m_pInternals->context = context;
    m_pInternals->contextHandler = handler;
}

void CNetClient::SetConnectionEvents(bool on) { m_pInternals->connectionEvents = on; }

void CNetClient::SetKeepAliveInterval(std::uint32_t ms) {
    m_pInternals->keepAliveMs = ms < 1000 ? 1000 : ms;
}

void CNetClient::ReportConnection(int event, int code) {
    const int last = m_pInternals->lastConnectionEvent.exchange(event);
    if (!m_pInternals->connectionEvents) return;
    if (last == event && event != NetConnectionEvent::CONNECTING) return;  // one report per change
    NetConnectionEvent body;
    body.m_nEvent = event;
    body.m_nWay = m_nConnType;
    body.m_nCode = code;
    body.m_nPort = m_pInternals->port;
    const std::string host = transport::SplitHostEntry(m_pszCurrentHost).name;
    std::snprintf(body.m_szHost, sizeof(body.m_szHost), "%s", host.c_str());
    NetPackage package;
    package.SetKind(NetPackage::KIND_CONNECTION);
    package.SetBody(body);
    Deliver(package);
}
