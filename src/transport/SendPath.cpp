// The send path: the send thread, SendData (what to transmit and how it is
// wrapped) and SendSocket (one bounded send with its bookkeeping).
//
// Stop and wait: one request at a time, and a queued message stays queued
// until the server has answered it.

#include <transport/NetClient.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "client/ClientInternals.h"
#include "client/MessageQueue.h"
#include "message/Frame.h"

using transport::Platform;

namespace {

constexpr std::uint32_t kSendTimeoutMs = 2000;
constexpr int kLoginId = 1;
constexpr int kDisconnectId = 0;
constexpr unsigned long kTraceTextMax = 4000;

// The host entries live in fixed fields of the parameter record.
std::string HostText(const char* host) {
    if (host == nullptr) return std::string();
    return std::string(host, strnlen(host, 256));
}

std::string PostRequest(const std::string& frame, const std::string& host, unsigned int port) {
    char head[512];
    std::snprintf(head, sizeof(head),
                  "POST /mpsrv HTTP/1.1\r\nContent-Length: %d\r\nHost: %s:%d\r\n"
                  "Content-Type: application/x-www-form-urlencoded\r\n\r\n",
                  static_cast<int>(frame.size()), host.c_str(), static_cast<int>(port));
    return head + frame;
}

std::string ConnectRequest(const std::string& host, unsigned int port) {
    char text[320];
    std::snprintf(text, sizeof(text), "CONNECT %s:%d HTTP/1.1\r\n\r\n", host.c_str(),
                  static_cast<int>(port));
    return text;
}

}  // namespace

unsigned long CNetClient::SendDataThread(void* client) {
    CNetClient& self = *static_cast<CNetClient*>(client);
    Platform& platform = *self.m_pPlatform;

    self.m_bSendThreadExit = false;
    while (!self.m_bSendThreadExit) {
        if (platform.WaitOne(self.m_hSendSemaphore, transport::kInfinite) !=
            transport::kWaitObject0) {
            // No semaphore to wait on: nothing could ever wake this thread.
            self.m_bSendThreadExit = true;
            break;
        }
        const int state = self.GetConnectionState();
        if (state == CONN_CLOSED) {
            self.m_bSendThreadExit = true;
            break;
        }
        if (state == CONN_NOT_CONNECTED || !self.m_bSocketConnected) {
            // New work after the client gave up buys one more attempt.
            if (self.GetReconCount() == self.m_nMaxReconCount) {
                --self.m_nReconCount;
                platform.SetEvent(self.m_hMainEvents[0]);
            }
            continue;
        }

        const int priority = self.SendData();
        // Only a transmission can be answered: with nothing written (empty
        // queue, no log-in message, failed send) the reply wait would never end.
        if (!self.m_pInternals->sentSomething) continue;

        const std::uint32_t woken = platform.Wait(self.m_hSendEvents, 2, transport::kInfinite);
        if (woken != transport::kWaitObject0) {
            self.m_bSendThreadExit = true;
            break;
        }
        platform.ResetEvent(self.m_hSendEvents[0]);
        self.m_bSendPending = false;

        std::lock_guard<std::mutex> lock(self.m_pOutputQueue->Mutex());
        NetMessage* sent = self.m_pSendingMessage;
        if (self.GetConnectionState() == CONN_CONNECTED && priority >= 1 && priority <= 4 &&
            sent != nullptr) {
            // Close(true) may have emptied the lists (it clears m_pSendingMessage
            // too); otherwise the message sent is still the front of its list.
            if (self.m_pOutputQueue->PeekFrontLocked(priority) == sent) {
                self.m_pOutputQueue->PopByPriorityLocked(priority);
            }
        }
        self.m_pSendingMessage = nullptr;
    }

    self.NetClientTrace("SendData Thread exited !");
    return 0;
}

int CNetClient::SendData() {
    NetClientTrace("SendData started");
    m_pInternals->sentSomething = false;
    std::string& request = m_pInternals->request;
    request.clear();

    int result = 0;
    int messageId = 0;
    std::string frame;
    if (GetConnectionState() == CONN_CONNECTED) {
        std::lock_guard<std::mutex> lock(m_pOutputQueue->Mutex());
        NetMessage* message = m_pOutputQueue->PeekByPriorityLocked();
        m_pSendingMessage = message;
        if (message == nullptr) {
            NetClientTrace("There is no data to send");
            return 0;
        }
        result = message->GetPriority();
        messageId = static_cast<int>(message->GetId());
        // Serialised under the lock: Close(true) may destroy the message as
        // soon as it is released.
        frame = transport::FrameText(*message);
    } else {
        {
            std::lock_guard<std::mutex> lock(m_pOutputQueue->Mutex());
            // The log-in message is replaced by Login at any time: it is never
            // named as the message in flight.
            m_pSendingMessage = nullptr;
        }
        std::lock_guard<std::mutex> lock(m_pInternals->loginMutex);
        if (m_pLoginMessage == nullptr) {
            NetClientTrace("No log-in message to send");
            return 0;
        }
        messageId = kLoginId;
        frame = transport::FrameText(*m_pLoginMessage);
    }

    const std::string host = HostText(m_pszCurrentHost);
    const int connType = m_nConnType;
    if (connType == CONNTYPE_HTTP) {
        request = PostRequest(frame, host, m_nPort);
    } else if (connType == CONNTYPE_TUNNEL && !m_bTunnelOpen) {
        // The frame waits until the proxy has opened the tunnel; nothing of
        // the queue goes out with this request, so nothing may be removed
        // when it is answered.
        request = ConnectRequest(host, m_nPort);
        result = 0;
        std::lock_guard<std::mutex> lock(m_pOutputQueue->Mutex());
        m_pSendingMessage = nullptr;
    } else {
        request = frame;
    }

    // Only what arrives after this transmission answers it.
    ++m_pInternals->transmissions;
    if (m_hSendEvents[0] != nullptr) m_pPlatform->ResetEvent(m_hSendEvents[0]);
    if (!SendSocket(&request[0], static_cast<unsigned long>(request.size()), messageId)) {
        return -1;
    }
    m_pInternals->sentSomething = true;
    return result;
}

bool CNetClient::SendSocket(char* data, unsigned long length, int messageId) {
    // The send thread, the keep-alive and Close's disconnect never send at once.
    std::lock_guard<std::mutex> lock(m_pInternals->sendMutex);
    NetClientTrace("Send started");

    std::uint32_t sent = 0;
    const int error = m_pPlatform->Send(m_socket, data, static_cast<std::uint32_t>(length),
                                        kSendTimeoutMs, &sent);
    const bool incomplete =
        error == transport::kErrIoIncomplete || (error == 0 && sent == 0 && length != 0);
    if (incomplete) {
        if (m_bSocketConnected) GetSockError(true, transport::kErrIoIncomplete);
        NetClientTrace("SendData WSAGetOverlappedResult return false");
        // The next completed connect releases a send thread waiting for a
        // reply that cannot come.
        m_bSendPending = true;
        return false;
    }
    if (error != 0) {
        if (m_bSocketConnected) GetSockError(true, error);
        return false;
    }

    m_nTotalSent += sent;
    m_dwLastSendTick = m_pPlatform->GetTickCount();
    m_bSendPending = true;
    if (m_pPlatform->TraceEnabled()) {
        // A long request is cut in the trace, never the line's end.
        char line[4096];
        const int shown = static_cast<int>(length < kTraceTextMax ? length : kTraceTextMax);
        std::snprintf(line, sizeof(line), "S E N T>>>: %.*s Bytes sent = %d\r\nSendData finished",
                      shown, data, static_cast<int>(sent));
        NetClientTrace(line);
    }
    if (messageId == kDisconnectId && m_hDisconnectSentEvent != nullptr) {
        m_pPlatform->SetEvent(m_hDisconnectSentEvent);
    }
    return true;
}
