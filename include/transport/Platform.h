#ifndef TRANSPORT_PLATFORM_H
#define TRANSPORT_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <transport/Export.h>

// Everything the client takes from the operating system goes through one
// Platform object: kernel objects and waits, the clock, sockets, the bearer
// (connection manager), remote-access enumeration, the Internet probe and the
// trace sink. CNetClient() uses DefaultPlatform(); tests and applications may
// pass their own, typically a PlatformWrapper that overrides a few operations.
//
// A Platform must outlive every client that uses it. All operations are
// thread-safe.
namespace transport {

struct KernelObject;  // defined by each implementation
using Handle = KernelObject*;
using ThreadProc = unsigned long (*)(void*);

using SocketHandle = std::intptr_t;
constexpr SocketHandle kInvalidSocket = -1;
constexpr int kSocketError = -1;

// Results of Wait.
constexpr std::uint32_t kWaitObject0 = 0;
constexpr std::uint32_t kWaitTimeout = 0x102;
constexpr std::uint32_t kWaitFailed = 0xFFFFFFFF;
constexpr std::uint32_t kInfinite = 0xFFFFFFFF;
constexpr std::uint32_t kMaxWaitObjects = 8;

// Network event bits of EventSelect and EnumNetworkEvents.
constexpr long kFdRead = 0x01;
constexpr long kFdConnect = 0x10;
constexpr long kFdClose = 0x20;

// Socket options (SOL_SOCKET level).
constexpr int kSoReuseAddr = 0x0004;
constexpr int kSoKeepAlive = 0x0008;

constexpr std::uint32_t kInaddrNone = 0xFFFFFFFF;

// The socket error numbering that every implementation reports in
// (errors of the host system are mapped into it once, at the seam).
enum SocketErrorCode : int {
    kErrIoIncomplete = 996,
    kErrIoPending = 997,
    kErrInterrupted = 10004,
    kErrBadFile = 10009,
    kErrAccess = 10013,
    kErrFault = 10014,
    kErrInvalid = 10022,
    kErrTooManyFiles = 10024,
    kErrWouldBlock = 10035,
    kErrInProgress = 10036,
    kErrAlready = 10037,
    kErrNotSocket = 10038,
    kErrMsgSize = 10040,
    kErrProtoNoSupport = 10043,
    kErrOpNotSupp = 10045,
    kErrAfNoSupport = 10047,
    kErrAddrInUse = 10048,
    kErrAddrNotAvail = 10049,
    kErrNetDown = 10050,
    kErrNetUnreach = 10051,
    kErrNetReset = 10052,
    kErrConnAborted = 10053,
    kErrConnReset = 10054,
    kErrNoBufs = 10055,
    kErrIsConn = 10056,
    kErrNotConn = 10057,
    kErrShutdown = 10058,
    kErrTimedOut = 10060,
    kErrConnRefused = 10061,
    kErrNameTooLong = 10063,
    kErrHostDown = 10064,
    kErrHostUnreach = 10065,
    kErrNotInitialised = 10093,
    kErrHostNotFound = 11001,
    kErrTryAgain = 11002,
    kErrNoRecovery = 11003,
    kErrNoData = 11004,
    // TLS (StartTls): why a secured connection did not come up.
    kErrTlsHandshake = 30001,    // the handshake failed: protocol, alert, or the peer closed
    kErrTlsCertificate = 30002,  // the server's certificate chain does not verify
    kErrTlsName = 30003,         // the certificate is not for the host
    kErrTlsExpired = 30004,      // the certificate has expired or is not yet valid
    kErrTlsPin = 30005,          // the server's public key is not the pinned one
    kErrTlsTimeout = 30006,      // no handshake within the time allowed
    kErrTlsSetup = 30007,        // the CA, the client certificate or its key could not be loaded
};

// How StartTls secures a connection. The server's certificate is verified
// (chain and name) unless insecureNoVerify says otherwise.
struct TlsSettings {
    // Checked against the certificate (an address against its IP entries)
    // and, when a name, sent as SNI.
    std::string serverName;
    // Trusted CAs: a PEM bundle and/or a hashed folder; both empty: the system's.
    std::string caFile;
    std::string caPath;
    // A client certificate and its key (PEM), for servers that ask for one.
    std::string certFile;
    std::string keyFile;
    // When set: 64 hex digits (':' allowed between them), the SHA-256 of the
    // server key's SubjectPublicKeyInfo; any other key is refused.
    std::string pinSha256;
    // Accepts any certificate for any name. Only for tests against a server
    // whose certificate cannot be checked; every connection traces a warning.
    bool insecureNoVerify = false;
    std::uint32_t timeoutMs = 10000;
};

// An IPv4 socket address: 16 bytes, port and address in network byte order.
struct SockAddrIn {
    std::uint16_t sin_family;
    std::uint16_t sin_port;
    std::uint32_t sin_addr;
    std::uint8_t sin_zero[8];
};
static_assert(sizeof(SockAddrIn) == 16, "SockAddrIn is 16 bytes");
constexpr std::uint16_t kAfInet = 2;

// What EnumNetworkEvents reports: the events that occurred since the last
// enumeration and one error code per event.
struct NetworkEvents {
    long lNetworkEvents;
    int iErrorRead;
    int iErrorConnect;
    int iErrorClose;
};

struct HostEntry {
    std::string officialName;
    std::uint32_t address = 0;  // network byte order
    // An IPv6 address instead, for a name that has no IPv4 address.
    bool ipv6 = false;
    std::uint8_t address6[16] = {};
};

struct Guid {
    std::uint32_t Data1;
    std::uint16_t Data2;
    std::uint16_t Data3;
    std::uint8_t Data4[8];
};

// The bearer request record: 64 bytes, fixed offsets.
struct ConnectionInfo {
    std::uint32_t cbSize;
    std::uint32_t dwParams;
    std::uint32_t dwFlags;
    std::uint32_t dwPriority;
    std::uint32_t bExclusive;
    std::uint32_t bDisabled;
    Guid guidDestNet;
    std::uint32_t hWnd;
    std::uint32_t uMsg;
    std::uint32_t lParam;
    std::uint32_t ulMaxCost;
    std::uint32_t ulMinRcvBw;
    std::uint32_t ulMaxConnLatency;
};
static_assert(sizeof(ConnectionInfo) == 64, "ConnectionInfo is 64 bytes");

// Bearer status words.
constexpr std::uint32_t kCmStatusConnected = 0x10;
constexpr std::uint32_t kCmStatusDisconnected = 0x20;
constexpr std::uint32_t kCmStatusWaitingFamily = 0x40;

// One remote-access (dial-up style) connection of the host.
struct RemoteConnection {
    std::string deviceName;      // "Cellular Line", "Serial on USB", ...
    std::uint32_t connectionState;  // 0x2000: connected
};
constexpr std::uint32_t kRasConnected = 0x2000;

// Outcome of one Internet probe request.
struct HttpProbeRequest {
    std::string host;          // host name or dotted address
    std::uint16_t port = 80;
    std::string path = "/";
    std::string agent;
    std::string extraHeaders;
    std::uint32_t sendTimeoutMs = 5000;
};

class TRANSPORT_API Platform {
public:
    Platform() = default;
    Platform(const Platform&) = delete;
    Platform& operator=(const Platform&) = delete;
    virtual ~Platform();

    // ---- Kernel objects. Every Handle is released with CloseHandle. ----
    // A manual-reset event, not signalled.
    virtual Handle CreateEvent() = 0;
    virtual bool SetEvent(Handle event) = 0;
    virtual bool ResetEvent(Handle event) = 0;
    // A counting semaphore. Release reports the count before the release in
    // *previous (when not null) and fails, changing nothing, past the maximum.
    virtual Handle CreateSemaphore(long initial, long maximum) = 0;
    virtual bool ReleaseSemaphore(Handle semaphore, long count, long* previous) = 0;
    // A thread running proc(arg); optionally created suspended. The handle is
    // signalled once the thread has returned.
    virtual Handle CreateThread(ThreadProc proc, void* arg, bool suspended) = 0;
    // Suspension parks the thread at its next wait; SuspendThread returns once
    // the thread is parked (or has ended), so the caller may then close what
    // the thread was waiting on. Must not be called by the thread itself.
    virtual void SuspendThread(Handle thread) = 0;
    virtual void ResumeThread(Handle thread) = 0;
    // Waits until one of count (at most kMaxWaitObjects) objects is signalled
    // and returns kWaitObject0 + the lowest signalled index; acquiring a
    // semaphore takes one count. kWaitTimeout after timeoutMs, kWaitFailed on
    // a bad argument.
    virtual std::uint32_t Wait(const Handle* handles, std::uint32_t count,
                               std::uint32_t timeoutMs) = 0;
    std::uint32_t WaitOne(Handle handle, std::uint32_t timeoutMs) {
        return Wait(&handle, 1, timeoutMs);
    }
    virtual void CloseHandle(Handle handle) = 0;
    virtual void Sleep(std::uint32_t ms) = 0;
    // Milliseconds, wrapping at 2^32.
    virtual std::uint32_t GetTickCount() = 0;

    // ---- Trace sink: where NetClientTrace lines go. Default: nowhere. ----
    virtual void Trace(const char* text, bool flag) = 0;
    // Whether Trace lines reach anyone. False lets the client skip formatting
    // its long lines (whole requests and received chunks); a platform whose
    // sink discards everything answers false.
    virtual bool TraceEnabled() { return true; }

    // ---- Sockets. Failing calls set the calling thread's last error. ----
    virtual int SocketStartup() = 0;  // 0 or an error code
    virtual void SocketCleanup() = 0;
    virtual int GetLastSocketError() = 0;
    virtual void SetLastSocketError(int error) = 0;
    virtual SocketHandle CreateSocket() = 0;  // TCP, or kInvalidSocket
    virtual int SetSocketOption(SocketHandle socket, int option, int value) = 0;
    virtual std::uint32_t InetAddr(const char* text) = 0;  // kInaddrNone if not dotted
    virtual bool GetHostByName(const char* name, HostEntry* entry) = 0;
    // Starts a connect. 0 when connected at once, kSocketError otherwise with
    // kErrWouldBlock as the last error when it completes later (as an FD_CONNECT).
    virtual int Connect(SocketHandle socket, const SockAddrIn& address) = 0;
    // IPv6: a TCP socket, and a connect to 16 address bytes and a port in
    // network order, as Connect. A platform without IPv6 keeps these, which
    // fail with kErrAfNoSupport.
    virtual SocketHandle CreateSocket6();
    virtual int Connect6(SocketHandle socket, const std::uint8_t* address, std::uint16_t port);
    // Secures a connected socket as the TLS client: the handshake, within
    // settings.timeoutMs (a suspension of the calling thread ends it early,
    // with kErrInterrupted). From then on Send and Receive carry the data
    // through TLS, and a Receive may end with kErrWouldBlock when what arrived
    // carried no data (a session ticket, a record's first half). 0, or a
    // kErrTls... code (or a socket error) with *reason in the TLS library's
    // words. A platform without TLS keeps this, which fails with kErrOpNotSupp.
    virtual int StartTls(SocketHandle socket, const TlsSettings& settings, std::string* reason);
    // Makes event signalled while any of mask's events is pending on socket.
    // A close and a connect result are each reported once.
    virtual int EventSelect(SocketHandle socket, Handle event, long mask) = 0;
    virtual int EnumNetworkEvents(SocketHandle socket, Handle event, NetworkEvents* events) = 0;
    // Sends all of data, waiting at most timeoutMs. 0 on success with *sent
    // set; otherwise an error code (kErrIoIncomplete: not done in time).
    virtual int Send(SocketHandle socket, const char* data, std::uint32_t length,
                     std::uint32_t timeoutMs, std::uint32_t* sent) = 0;
    // Receives at most capacity bytes, waiting at most timeoutMs for the first.
    // 0 with *received set (0 bytes: the peer closed), or an error code.
    virtual int Receive(SocketHandle socket, char* buffer, std::uint32_t capacity,
                        std::uint32_t timeoutMs, std::uint32_t* received) = 0;
    virtual void ShutdownSend(SocketHandle socket) = 0;
    virtual void CloseSocket(SocketHandle socket) = 0;

    // ---- Bearer (connection manager). ----
    // By default a URL maps to a network of its own, the same every time, and
    // the API is ready at once (an event already signalled).
    virtual int CmMapUrl(const char* url, Guid* network);
    virtual Handle CmApiReadyEvent();
    // On success (0) *connection is a waitable handle, signalled whenever the
    // status changes; the waiter resets it with ResetEvent.
    virtual int CmEstablishConnection(const ConnectionInfo& info, Handle* connection) = 0;
    virtual int CmConnectionStatus(Handle connection, std::uint32_t* status) = 0;
    // Releases the request and the handle.
    virtual int CmReleaseConnection(Handle connection, std::uint32_t flags) = 0;

    // ---- Remote access and the Internet probe. ----
    virtual bool EnumRemoteConnections(std::vector<RemoteConnection>* connections) = 0;
    // Sends the GET and reads the whole answer into *body; false with *error
    // (in the Internet error numbering: 12002 time-out, 12007 name not
    // resolved, 12029 cannot connect, ...) and *step (the failing step's
    // name) on failure.
    virtual bool HttpGet(const HttpProbeRequest& request, std::string* body, int* error,
                         std::string* step) = 0;
};

// Forwards every operation to another platform; override what a test or an
// application wants to change.
class TRANSPORT_API PlatformWrapper : public Platform {
public:
    explicit PlatformWrapper(Platform& target) : target_(target) {}
    Platform& target() { return target_; }

    Handle CreateEvent() override { return target_.CreateEvent(); }
    bool SetEvent(Handle e) override { return target_.SetEvent(e); }
    bool ResetEvent(Handle e) override { return target_.ResetEvent(e); }
    Handle CreateSemaphore(long i, long m) override { return target_.CreateSemaphore(i, m); }
    bool ReleaseSemaphore(Handle s, long c, long* p) override {
        return target_.ReleaseSemaphore(s, c, p);
    }
    Handle CreateThread(ThreadProc f, void* a, bool s) override {
        return target_.CreateThread(f, a, s);
    }
    void SuspendThread(Handle t) override { target_.SuspendThread(t); }
    void ResumeThread(Handle t) override { target_.ResumeThread(t); }
    std::uint32_t Wait(const Handle* h, std::uint32_t n, std::uint32_t t) override {
        return target_.Wait(h, n, t);
    }
    void CloseHandle(Handle h) override { target_.CloseHandle(h); }
    void Sleep(std::uint32_t ms) override { target_.Sleep(ms); }
    std::uint32_t GetTickCount() override { return target_.GetTickCount(); }
    void Trace(const char* text, bool flag) override { target_.Trace(text, flag); }
    // A wrapper is usually there to look: tracing counts as on. A wrapper that
    // leaves Trace alone may forward this to target() instead.
    bool TraceEnabled() override { return true; }
    int SocketStartup() override { return target_.SocketStartup(); }
    void SocketCleanup() override { target_.SocketCleanup(); }
    int GetLastSocketError() override { return target_.GetLastSocketError(); }
    void SetLastSocketError(int e) override { target_.SetLastSocketError(e); }
    SocketHandle CreateSocket() override { return target_.CreateSocket(); }
    int SetSocketOption(SocketHandle s, int o, int v) override {
        return target_.SetSocketOption(s, o, v);
    }
    std::uint32_t InetAddr(const char* t) override { return target_.InetAddr(t); }
    bool GetHostByName(const char* n, HostEntry* e) override { return target_.GetHostByName(n, e); }
    int Connect(SocketHandle s, const SockAddrIn& a) override { return target_.Connect(s, a); }
    SocketHandle CreateSocket6() override { return target_.CreateSocket6(); }
    int Connect6(SocketHandle s, const std::uint8_t* a, std::uint16_t port) override {
        return target_.Connect6(s, a, port);
    }
    int StartTls(SocketHandle s, const TlsSettings& t, std::string* r) override {
        return target_.StartTls(s, t, r);
    }
    int EventSelect(SocketHandle s, Handle e, long m) override { return target_.EventSelect(s, e, m); }
    int EnumNetworkEvents(SocketHandle s, Handle e, NetworkEvents* n) override {
        return target_.EnumNetworkEvents(s, e, n);
    }
    int Send(SocketHandle s, const char* d, std::uint32_t l, std::uint32_t t,
             std::uint32_t* n) override {
        return target_.Send(s, d, l, t, n);
    }
    int Receive(SocketHandle s, char* b, std::uint32_t c, std::uint32_t t,
                std::uint32_t* n) override {
        return target_.Receive(s, b, c, t, n);
    }
    void ShutdownSend(SocketHandle s) override { target_.ShutdownSend(s); }
    void CloseSocket(SocketHandle s) override { target_.CloseSocket(s); }
    int CmMapUrl(const char* u, Guid* g) override { return target_.CmMapUrl(u, g); }
    Handle CmApiReadyEvent() override { return target_.CmApiReadyEvent(); }
    int CmEstablishConnection(const ConnectionInfo& i, Handle* c) override {
        return target_.CmEstablishConnection(i, c);
    }
    int CmConnectionStatus(Handle c, std::uint32_t* s) override {
        return target_.CmConnectionStatus(c, s);
    }
    int CmReleaseConnection(Handle c, std::uint32_t f) override {
        return target_.CmReleaseConnection(c, f);
    }
    bool EnumRemoteConnections(std::vector<RemoteConnection>* c) override {
        return target_.EnumRemoteConnections(c);
    }
    bool HttpGet(const HttpProbeRequest& r, std::string* b, int* e, std::string* s) override {
        return target_.HttpGet(r, b, e, s);
    }

private:
    Platform& target_;
};

// The process's default platform (POSIX on Linux). Never destroyed.
TRANSPORT_API Platform& DefaultPlatform();

}  // namespace transport

#endif
