#ifndef TRANSPORT_NET_CLIENT_H
#define TRANSPORT_NET_CLIENT_H

// The whole public API: include this header alone.

#include <atomic>
#include <cstdint>

#include <transport/Export.h>
#include <transport/INetClient.h>
#include <transport/NetClientParams.h>
#include <transport/NetFrame.h>
#include <transport/NetMessage.h>
#include <transport/NetPackage.h>
#include <transport/Platform.h>
#include <transport/Version.h>

class CMessageQueue;

namespace transport {
struct ClientInternals;
struct WalkPosition;
}

// One client: one connection to a server, three worker threads (network
// events, sending, supervision), three locked queues.
//
// Threads: Open, Close, Login, Send, SetNetHandler and GetNetworkType are
// called on the application's threads; Open and Close never concurrently and
// never from the handler. The handler is called on the network-event thread
// (received messages, delivery results, transfer progress) and on the main
// thread (error 11), never under a lock of the client; error 14 on the thread
// of the Send that dropped. A connection event for a write that found the
// line gone comes on the writing thread (which can be the application's,
// inside Send) with the client's send lock held: a Send made there is
// queued, not written.
class TRANSPORT_API CNetClient : public INetClient {
public:
    enum enConnectionState {
        CONN_NOT_CONNECTED = 0,
        CONN_SOCKET_CONNECTED = 1,
        CONN_CONNECTED = 3,
        CONN_CLOSED = 4,
    };
    enum { CONNTYPE_NONE = -1, CONNTYPE_DIRECT = 0, CONNTYPE_TUNNEL = 1, CONNTYPE_HTTP = 2 };
    enum { MAXRECONCOUNT = 5 };

    CNetClient();
    // The platform must outlive the client.
    explicit CNetClient(transport::Platform& platform);
    // A copy shares the source's threads, queues and kernel objects and owns
    // none of them: only the source may be opened, closed or destroyed for
    // real; destroying a copy releases nothing.
    CNetClient(const CNetClient& other);
    CNetClient& operator=(const CNetClient& other);
    ~CNetClient() override;

    bool Open(NetClientParams& params) override;
    enNETTYPE GetNetworkType() override;
    bool Login(const char* szUser, const char* szPassword, const char* szParam3,
               unsigned int nParam4, const char* szParam5, const char* szParam6) override;
    unsigned int Send(const NetMessage* message) override;
    bool Close(bool clearQueues) override;
    void SetNetHandler(NetHandler handler) override;

    // Messages in the output queue, waiting to be sent or answered. Send
    // refuses a message once the queue holds 65,536 (or the bound set below).
    int GetQueuedCount();
    // The bytes of their parameters.
    std::size_t GetQueuedBytes();

    // Send, saying why a message was not queued. Send itself returns the
    // count of messages queued, which does not grow on a refusal.
    enum enSendResult {
        SEND_QUEUED = 0,
        SEND_NO_MESSAGE = 1,    // a null message
        SEND_BAD_PRIORITY = 2,  // not 1 to 4
        SEND_FRAME_TAG = 3,     // a parameter holds "<g44>", "</g44>", "<p>" or "</p>"
        SEND_NO_MEMORY = 4,     // binary data could not be encoded
        SEND_QUEUE_FULL = 5,    // the queue's bound, with the refusing policy
        SEND_CLOSED = 6,        // Close has begun
    };
    int TrySend(const NetMessage* message);

    // A bound on the output queue: at most `messages` messages (1 to 65,536)
    // and, unless 0, `bytes` bytes of parameters. When a message does not
    // fit, QUEUE_REFUSE_NEW refuses it; QUEUE_DROP_OLDEST drops queued
    // messages, the oldest of the lowest priority first and never the one
    // in flight, each reported as error 14 naming it, until it fits (it is
    // refused if it cannot fit at all). An id 10 object counts all its parts.
    enum { QUEUE_REFUSE_NEW = 0, QUEUE_DROP_OLDEST = 1 };
    void SetQueueLimit(int messages, std::size_t bytes, int policy);

    // A handler that gets back a pointer of the application's on every call,
    // so that several clients can share one handler. It is called after the
    // plain handler when both are set, on the same threads, never under a lock.
    typedef bool (*NetContextHandler)(NetPackage* package, void* context);
    void SetNetHandler(NetContextHandler handler, void* context);
    // Packages of kind 3 (NetConnectionEvent) to the handlers: off by default,
    // so that a classic handler never sees a kind it does not know.
    void SetConnectionEvents(bool on);
    // How long an idle line waits before a keep-alive (default 60,000 ms, at
    // least 1,000); the checks run at least twice per interval. The answer
    // time-out stays 60 s.
    void SetKeepAliveInterval(std::uint32_t ms);
    // TLS on every way to the server, from the next connection on (null: off,
    // the default). The log-in goes out only once the server is verified;
    // when TLS does not come up the handler gets error 15 and the walk goes
    // on as after a failed connect. The settings are copied; serverName
    // empty: the host entry's name.
    void SetTls(const transport::TlsSettings* settings);

protected:
    // Main thread and connection states.
    static unsigned long MainThread(void* client);
    void ReConnect(unsigned long dwDelay, bool bSocketLevel);
    char* GetNextHostName();
    void ShutDown();
    bool Connect();
    bool AutoConnect();
    bool CheckConnManagerStatus(unsigned long status, bool bTrace);
    bool BrowseInet();
    void SendKeepAlive();
    void SendDisconnect();

    // Socket transport.
    static unsigned long NetEventThread(void* client);
    static unsigned long SendDataThread(void* client);
    // The send step from any thread but the send thread: request is a
    // SendTurns::Request. Runs now, or is left to the thread running it.
    void SendStep(unsigned request);
    // One round of the step, with the turn held: takes the answer that freed
    // the line, then writes the next request if the line is free.
    void SendRound(unsigned requests, bool sendThread);
    int SendData();
    bool SendSocket(char* data, unsigned long length, int messageId);
    unsigned long ReadData();
    void SetToCacheBuf(char* chunk, unsigned long length);
    // Handles one received message by its id (network-event thread); fills
    // and delivers the package where the id asks for it.
    void DispatchReceived(NetMessage& message, NetPackage& package);
    void GetSockError(bool bReconnect, int code);

    // Packages and packaging.
    void SetError(NetPackage& package, unsigned long code);
    void SetInformation(NetPackage& package, unsigned long code, int value1, int value2);
    void PackageAndSetToOutputQueue(const NetMessage* message);
    void UnPackageAndSetToInputQueue(NetMessage* message);
    void Encode(char* buffer, unsigned long length);
    void Decode(char* buffer, unsigned long length);

    // Accessors; none takes a lock.
    void SetConnectionState(enConnectionState state);
    int GetConnectionState();
    int GetReconCount();
    int IncreaseReconCount();
    void ZeroReconCount();
    void SuspendNetThread();
    void ResumeNetThread();
    void NetClientTrace(char* text, bool flag);
    void NetClientTrace(const char* text, bool flag = false);

    // Whether the request in flight is the log-in.
    bool LoggingIn();
    // Calls the handlers with the package, when they are set.
    void Deliver(NetPackage& package);
    // A connection event to the handlers, when the application asked for them.
    void ReportConnection(int event, int code = 0);
    // Error 14 naming a queued message dropped for room.
    void ReportDropped(const NetMessage& message);
    // A received message answers the request in flight, unless it arrived
    // before that request went out: the next request goes.
    void AnswerInFlight();
    // The server accepted the log-in (network-event thread).
    void OnLoginAnswer(NetMessage& message, NetPackage& package);
    // Releases the send semaphore count times, one by one.
    void ReleaseSendSemaphore(long count = 1);
    // Closes the socket, if any, and forgets it; the network-event thread must
    // be parked or gone.
    void CloseSocketNow();
    // Empties and destroys the queues, closes the constructor's events and
    // destroys the log-in message.
    void ReleaseOwnedObjects();
    // Steps of the main thread.
    std::uint32_t ReadBearerStatus();
    void OnBearerStatusChanged();
    // Starts over with a new bearer unless closed; false when closed.
    bool OnBearerLost(std::uint32_t status, unsigned long delay);
    void OnBearerConnected();
    // The 30-second checks: bearer, response time-out, keep-alive.
    void RunPeriodicChecks();
    // Steps of Connect.
    bool RestartNetThreadIfEnded();
    const char* HostToConnect();
    // The address of a host entry's name: dotted, or looked up (IPv4 first).
    bool ResolveHost(const char* host, transport::HostEntry* entry);
    // A socket of the address's family as m_socket, its options set.
    transport::SocketHandle OpenSocket(bool ipv6);
    // The TLS handshake on the new connection when TLS is on (network-event
    // thread); false, reported and the walk moved on, when it failed.
    bool SecureConnection();
    // Waits for a worker thread to end, then closes its handle.
    void JoinThread(transport::Handle thread);
    // Open's per-run events, semaphore and threads; false at the first that
    // cannot be had.
    bool StartRun();
    // Signals the worker threads to end and joins them (main first), then
    // closes the socket. Ends the send thread only once the state is CONN_CLOSED.
    void StopThreads();
    // Closes the per-run events and the semaphore; the threads have ended.
    void ReleaseRunObjects();
    // The reconnection walk's fields as one value, and back.
    transport::WalkPosition GetWalk();
    void SetWalk(const transport::WalkPosition& position);
    // Host entry index (0 to 3) of m_clientParams, and the entries that are set, as bits.
    char* HostEntry(int index);
    unsigned HostsSet();

    // Fields. Those shared between threads are atomic; m_pSendingMessage is
    // guarded by the output queue's lock, m_pLoginMessage by the internals'.
    std::atomic<transport::SocketHandle> m_socket;
    transport::SockAddrIn m_serverAddr;
    transport::Handle m_hNetEvents[2];
    transport::Handle m_hSendEvents[2];
    transport::Handle m_hMainEvents[6];
    std::atomic<char*> m_pszCurrentHost;
    transport::Handle m_hMainThread;
    std::atomic<transport::Handle> m_hNetEventThread;
    transport::Handle m_hSendDataThread;
    std::atomic<int> m_connectionState;
    std::atomic<unsigned int> m_nSentCount;
    NetMessage* m_pLoginMessage;
    NetMessage* m_pSendingMessage;
    std::atomic<int> m_nReconCount;
    transport::Handle m_hSendSemaphore;
    transport::Handle m_hConnection;
    std::atomic<long> m_lPrevSendCount;
    std::atomic<bool> m_bSendPending;
    std::atomic<bool> m_bNetThreadRunning;
    std::atomic<int> m_nLastConnType;
    std::atomic<int> m_nConnType;
    std::atomic<bool> m_bConnecting;
    std::atomic<unsigned int> m_nPort;
    std::atomic<bool> m_bTunnelOpen;
    std::atomic<std::uint32_t> m_dwLastSendTick;
    std::atomic<std::uint32_t> m_dwLastRecvTick;
    std::atomic<bool> m_bSocketConnected;
    NetClientParams m_clientParams;
    std::atomic<int> m_nAttemptCount;
    int m_nHostIndex;
    std::atomic<int> m_nMaxReconCount;
    std::atomic<bool> m_bLoginPending;
    transport::Handle m_hDisconnectSentEvent;
    std::atomic<unsigned int> m_nTotalSent;
    std::atomic<unsigned int> m_nTotalReceived;
    std::atomic<bool> m_bKeepAlivePending;
    std::atomic<bool> m_bMainThreadExit;
    std::atomic<bool> m_bNetThreadExited;
    std::atomic<bool> m_bSendThreadExit;
    std::atomic<NetHandler> m_pNetHandler;
    std::atomic<bool> m_bOpened;
    CMessageQueue* m_pOutputQueue;
    CMessageQueue* m_pInputQueue;
    CMessageQueue* m_pPartsQueue;
    char m_cacheBuf[5001];

    // Not in the original field list.
    transport::Platform* m_pPlatform;
    transport::Handle m_hStandbyEvent;  // the constructor's slot-4 event
    transport::ClientInternals* m_pInternals;
    bool m_bOwner;  // false for copies
};

#endif
