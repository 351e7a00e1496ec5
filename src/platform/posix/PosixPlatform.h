#ifndef TRANSPORT_PLATFORM_POSIX_POSIX_PLATFORM_H
#define TRANSPORT_PLATFORM_POSIX_POSIX_PLATFORM_H

// The Linux implementation of the platform seam. It emulates what the client
// relies on from the system it was designed for (manual-reset events, a
// counting semaphore, cooperative thread suspension, event selection on
// sockets), not the whole foreign API. The operations are spread over the
// files of this folder by subject: KernelObjects.cpp, Waiter.cpp, Threads.cpp,
// Wait.cpp, PosixSockets.cpp and SocketState.cpp, EventSelect.cpp,
// ErrorMap.cpp, Bearer.cpp, RemoteAccess.cpp and NetworkInterfaces.cpp,
// HttpProbe.cpp, PosixTls.cpp and TlsSession.cpp.

#include <transport/Platform.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <unordered_set>

#include <sys/socket.h>

#include "platform/posix/SocketState.h"

namespace transport {
namespace posix {

class PosixPlatform final : public Platform {
public:
    PosixPlatform() = default;
    ~PosixPlatform() override = default;

    Handle CreateEvent() override;
    bool SetEvent(Handle event) override;
    bool ResetEvent(Handle event) override;
    Handle CreateSemaphore(long initial, long maximum) override;
    bool ReleaseSemaphore(Handle semaphore, long count, long* previous) override;
    Handle CreateThread(ThreadProc proc, void* arg, bool suspended) override;
    void SuspendThread(Handle thread) override;
    void ResumeThread(Handle thread) override;
    std::uint32_t Wait(const Handle* handles, std::uint32_t count,
                       std::uint32_t timeoutMs) override;
    void CloseHandle(Handle handle) override;
    void Sleep(std::uint32_t ms) override;
    std::uint32_t GetTickCount() override;

    void Trace(const char* text, bool flag) override;
    bool TraceEnabled() override { return false; }  // the sink discards

    int SocketStartup() override;
    void SocketCleanup() override;
    int GetLastSocketError() override;
    void SetLastSocketError(int error) override;
    SocketHandle CreateSocket() override;
    int SetSocketOption(SocketHandle socket, int option, int value) override;
    std::uint32_t InetAddr(const char* text) override;
    bool GetHostByName(const char* name, HostEntry* entry) override;
    int Connect(SocketHandle socket, const SockAddrIn& address) override;
    SocketHandle CreateSocket6() override;
    int Connect6(SocketHandle socket, const std::uint8_t* address, std::uint16_t port) override;
    int StartTls(SocketHandle socket, const TlsSettings& settings, std::string* reason) override;
    int EventSelect(SocketHandle socket, Handle event, long mask) override;
    int EnumNetworkEvents(SocketHandle socket, Handle event, NetworkEvents* events) override;
    int Send(SocketHandle socket, const char* data, std::uint32_t length, std::uint32_t timeoutMs,
             std::uint32_t* sent) override;
    int Receive(SocketHandle socket, char* buffer, std::uint32_t capacity, std::uint32_t timeoutMs,
                std::uint32_t* received) override;
    void ShutdownSend(SocketHandle socket) override;
    void CloseSocket(SocketHandle socket) override;

    int CmEstablishConnection(const ConnectionInfo& info, Handle* connection) override;
    int CmConnectionStatus(Handle connection, std::uint32_t* status) override;
    int CmReleaseConnection(Handle connection, std::uint32_t flags) override;

    bool EnumRemoteConnections(std::vector<RemoteConnection>* connections) override;
    bool HttpGet(const HttpProbeRequest& request, std::string* body, int* error,
                 std::string* step) override;

private:
    // Sets code as the calling thread's last error; returns kSocketError.
    int Fail(int code);
    // The same, returning code itself (for Send and Receive).
    int FailWith(int code);
    SocketHandle NewSocket(int family);
    // Issues a non-blocking connect whose result is reported as FD_CONNECT.
    int StartConnect(const std::shared_ptr<SocketState>& state, const sockaddr* target,
                     socklen_t length);
    // Send and Receive on a socket secured by StartTls (PosixTls.cpp).
    int TlsSend(const std::shared_ptr<SocketState>& state, TlsSession& session, const char* data,
                std::uint32_t length, std::uint32_t timeoutMs, std::uint32_t* sent);
    int TlsReceive(const std::shared_ptr<SocketState>& state, TlsSession& session, char* buffer,
                   std::uint32_t capacity, std::uint32_t timeoutMs, std::uint32_t* received);
    // Unregisters a bearer connection; false when handle is not one.
    bool ForgetConnection(Handle handle);

    SocketTable sockets_;
    std::mutex connectionsMutex_;
    std::unordered_set<Handle> connections_;  // live bearer connections
    std::atomic<int> startups_{0};
};

}  // namespace posix
}  // namespace transport

#endif
