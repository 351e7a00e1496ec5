// NetEventThread: the only reader of the socket. It sleeps on the socket's
// network event and its kill event and turns each socket event into work.

#include <transport/NetClient.h>

#include "client/ClientInternals.h"
#include "client/EventSlots.h"

using transport::Platform;

unsigned long CNetClient::NetEventThread(void* client) {
    CNetClient& self = *static_cast<CNetClient*>(client);
    Platform& platform = *self.m_pPlatform;

    bool leave = self.m_bNetThreadExited;
    while (!leave) {
        const std::uint32_t woken = platform.Wait(self.m_hNetEvents, 2, transport::kInfinite);
        if (woken == transport::kWaitObject0 + 1) {
            // Kill event. The events themselves stay open: Close closes them
            // once this thread has ended, so it never signals a closed handle.
            self.NetClientTrace("WSAWaitForMultipleEvents: Kill event");
            self.m_bSocketConnected = false;
            self.CloseSocketNow();
            self.m_bNetThreadExited = true;
            break;
        }
        if (woken != transport::kWaitObject0) {
            self.NetClientTrace("WSAWaitForMultipleEvents return false (WSA_WAIT_FAILED)");
            self.GetSockError(true, 0);
            break;
        }

        transport::NetworkEvents events{};
        if (platform.EnumNetworkEvents(self.m_socket, self.m_hNetEvents[transport::kSlotSocket], &events) ==
            transport::kSocketError) {
            self.NetClientTrace("WSAEnumNetworkEvents return SOCKET_ERROR");
            self.GetSockError(false, 0);
            if (self.GetConnectionState() == CONN_CLOSED) break;
            // A failed enumeration does not reset the event; left signalled it
            // would wake this loop at once, forever.
            platform.ResetEvent(self.m_hNetEvents[transport::kSlotSocket]);
            events = transport::NetworkEvents{};
        }

        if (events.lNetworkEvents & transport::kFdRead) {
            self.NetClientTrace("WSAEnumNetworkEvents: FD_READ");
            if (events.iErrorRead != 0) {
                self.GetSockError(true, events.iErrorRead);
            } else {
                self.ReadData();
            }
        }
        if (events.lNetworkEvents & transport::kFdConnect) {
            self.NetClientTrace("WSAEnumNetworkEvents: FD_CONNECT");
            if (events.iErrorConnect != 0) {
                self.GetSockError(true, events.iErrorConnect);
            } else if (self.m_nConnType == CNetClient::CONNTYPE_TUNNEL || self.SecureConnection()) {
                // Through a tunnel TLS starts once the proxy has opened it.
                self.m_bConnecting = false;
                ++self.m_pInternals->line;
                self.m_bSocketConnected = true;
                self.SetConnectionState(CONN_SOCKET_CONNECTED);
                self.ReportConnection(NetConnectionEvent::CONNECTED);
                // A request written on the previous connection gets no
                // answer: the line is free for the log-in message.
                if (self.m_bSendPending) self.NetClientTrace("SendState is true");
                self.SendStep(transport::SendTurns::kWork);
            }
        }
        if (events.lNetworkEvents & transport::kFdClose) {
            self.NetClientTrace("WSAEnumNetworkEvents: FD_CLOSE");
            self.m_bSocketConnected = false;
            // An orderly close by the peer is reported like a reset.
            self.GetSockError(true, events.iErrorClose != 0 ? events.iErrorClose
                                                           : transport::kErrConnReset);
        }
        leave = self.m_bNetThreadExited;
    }

    const transport::SocketHandle socket = self.m_socket;
    if (socket != transport::kInvalidSocket) {
        platform.EventSelect(socket, self.m_hNetEvents[transport::kSlotSocket], 0);
    }
    self.NetClientTrace("NetEvent Thread exited !");
    return 0;
}
