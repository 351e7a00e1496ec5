// GetSockError: the one place where a socket failure becomes a trace line
// and, when asked, a reconnection request to the main thread.

#include <transport/NetClient.h>

#include "transport/SockErrorText.h"
#include "client/EventSlots.h"
#include "connection/ConnectionWalk.h"

void CNetClient::GetSockError(bool bReconnect, int code) {
    // 0 stands for the calling thread's last error; read it before anything
    // else can overwrite it.
    if (code == 0) code = m_pPlatform->GetLastSocketError();

    // A host that does not answer is not worth the remaining connection
    // types: the next socket-level reconnect moves on to the next host entry.
    if (code == transport::kErrTimedOut) m_nAttemptCount = transport::kTypesPerHost;

    NetClientTrace(transport::SockErrorText(code));
    m_bConnecting = false;
    m_bSocketConnected = false;
    if (bReconnect) ReportConnection(NetConnectionEvent::DISCONNECTED, code);
    if (bReconnect && m_hMainEvents[transport::kSlotReconnect] != nullptr) {
        m_pPlatform->SetEvent(m_hMainEvents[transport::kSlotReconnect]);
    }
}
