#ifndef TRANSPORT_PLATFORM_WIN32_WIN32_PLATFORM_H
#define TRANSPORT_PLATFORM_WIN32_WIN32_PLATFORM_H

// The Windows implementation of the platform seam. Kernel objects, waits,
// sockets and event selection are the system's own; what the client relies
// on beyond them is added here: cooperative thread suspension (a thread is
// parked at a Wait or Sleep of the platform, never stopped where it may hold
// a lock), socket handles that never reach a later socket, a connect result
// reported even when it came before the selection, and a close reported
// after the data before it. The operations are spread over the files of this
// folder by subject: KernelObjects.cpp, Threads.cpp, Wait.cpp, Sockets.cpp
// and SocketTable.cpp, EventSelect.cpp, Bearer.cpp, RemoteAccess.cpp and
// Adapters.cpp, HttpProbe.cpp. Only this folder sees <windows.h>
// (Win32Api.h): this header declares the class with opaque members.

#include <transport/Platform.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace transport {
namespace win32 {

class SocketTable;
struct SocketState;
class InterfaceWatch;

class Win32Platform final : public Platform {
public:
    Win32Platform();
    ~Win32Platform() override;

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

    // Lines go to the debugger (OutputDebugString) only when TRANSPORT_TRACE
    // is set; otherwise the sink discards, as on POSIX.
    void Trace(const char* text, bool flag) override;
    bool TraceEnabled() override { return traceEnabled_; }

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

    // The interface watch (Bearer.cpp): the network changed; every live
    // bearer connection whose status changes is signalled.
    void RefreshConnections();

private:
    // Sets code as the calling thread's last error; returns kSocketError.
    int Fail(int code);
    // The same, returning code itself (for Send and Receive).
    int FailWith(int code);
    SocketHandle NewSocket(int family);
    // Issues a non-blocking connect whose result is reported as FD_CONNECT.
    int StartConnect(const std::shared_ptr<SocketState>& state, const void* target, int length);
    // Unregisters a bearer connection; false when handle is not one.
    bool ForgetConnection(Handle handle);

    const bool traceEnabled_;
    std::unique_ptr<SocketTable> sockets_;
    std::mutex connectionsMutex_;
    std::unordered_map<Handle, std::uint32_t> connections_;  // live bearer connections: status
    std::unique_ptr<InterfaceWatch> watch_;  // started with the first bearer connection
    std::mutex startupMutex_;
    int startups_ = 0;  // the client's, beyond the platform's own
    bool ownStartup_ = false;
};

}  // namespace win32
}  // namespace transport

#endif
