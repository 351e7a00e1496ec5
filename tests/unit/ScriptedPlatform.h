#ifndef TRANSPORT_TESTS_UNIT_SCRIPTED_PLATFORM_H
#define TRANSPORT_TESTS_UNIT_SCRIPTED_PLATFORM_H

// A platform without the operating system, for driving the connection logic
// step by step on the test's own thread: nothing blocks, time is a counter
// that waits and sleeps advance, threads are recorded but never run, sockets
// are numbers, and every call that matters is recorded.

#include <transport/NetClient.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace conntest {

using transport::Handle;

class ScriptedPlatform : public transport::Platform {
public:
    struct Object {
        enum Kind { kEvent, kSemaphore, kThread, kBearer } kind;
        bool signalled = false;
        long count = 0;
        long maximum = 0;
        bool suspended = false;
        bool closed = false;
    };
    struct Connection {
        transport::SocketHandle socket;
        std::uint32_t address;  // network order
        std::uint16_t port;     // host order
    };

    // ---- Kernel objects. ----
    Handle CreateEvent() override { return NewObject(Object::kEvent); }
    bool SetEvent(Handle h) override { return Set(h, true); }
    bool ResetEvent(Handle h) override { return Set(h, false); }
    Handle CreateSemaphore(long initial, long maximum) override {
        Handle h = NewObject(Object::kSemaphore);
        objects[h].count = initial;
        objects[h].maximum = maximum;
        return h;
    }
    bool ReleaseSemaphore(Handle h, long count, long* previous) override {
        Object& o = objects.at(h);
        if (o.count + count > o.maximum) return false;
        if (previous) *previous = o.count;
        o.count += count;
        return true;
    }
    Handle CreateThread(transport::ThreadProc, void*, bool suspended) override {
        if (failThreadCreation) return nullptr;
        Handle h = NewObject(Object::kThread);
        objects[h].suspended = suspended;
        threadsCreated.push_back(h);
        return h;
    }
    void SuspendThread(Handle h) override { objects.at(h).suspended = true; }
    void ResumeThread(Handle h) override { objects.at(h).suspended = false; }
    // Reports the lowest signalled handle; with none signalled the clock
    // moves on by the time-out, which then expires at once.
    std::uint32_t Wait(const Handle* handles, std::uint32_t count,
                       std::uint32_t timeoutMs) override {
        if (count == 6 && onMainWait) onMainWait(mainWaits++);
        if (failNextWaits > 0) {
            --failNextWaits;
            return transport::kWaitFailed;
        }
        for (std::uint32_t i = 0; i < count; ++i) {
            auto it = objects.find(handles[i]);
            if (it == objects.end() || it->second.closed) return transport::kWaitFailed;
            Object& o = it->second;
            if (o.kind == Object::kSemaphore ? o.count > 0 : o.signalled) {
                if (o.kind == Object::kSemaphore) --o.count;
                return transport::kWaitObject0 + i;
            }
        }
        waitTimeouts.push_back(timeoutMs);
        if (timeoutMs == transport::kInfinite) return transport::kWaitFailed;
        clock += timeoutMs;
        return transport::kWaitTimeout;
    }
    void CloseHandle(Handle h) override { objects.at(h).closed = true; }
    void Sleep(std::uint32_t ms) override {
        sleeps.push_back(ms);
        clock += ms;
    }
    std::uint32_t GetTickCount() override { return clock; }
    void Trace(const char* text, bool) override { traces.emplace_back(text); }

    // ---- Sockets. ----
    int SocketStartup() override { return startupError; }
    void SocketCleanup() override {}
    int GetLastSocketError() override { return lastError; }
    void SetLastSocketError(int e) override { lastError = e; }
    transport::SocketHandle CreateSocket() override {
        if (failSocketCreation) {
            lastError = transport::kErrTooManyFiles;
            return transport::kInvalidSocket;
        }
        openSockets.insert(++lastSocket);
        return lastSocket;
    }
    int SetSocketOption(transport::SocketHandle, int option, int value) override {
        options.emplace_back(option, value);
        return 0;
    }
    std::uint32_t InetAddr(const char* text) override {
        unsigned a, b, c, d;
        char tail;
        if (std::sscanf(text, "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4 || a > 255 || b > 255 ||
            c > 255 || d > 255) {
            return transport::kInaddrNone;
        }
        return a | b << 8 | c << 16 | d << 24;  // network order on a little-endian host
    }
    bool GetHostByName(const char* name, transport::HostEntry* entry) override {
        lookups.emplace_back(name);
        auto it = hosts.find(name);
        if (it == hosts.end()) {
            lastError = transport::kErrHostNotFound;
            return false;
        }
        entry->officialName = std::string(name) + ".official";
        entry->address = it->second;
        return true;
    }
    int Connect(transport::SocketHandle s, const transport::SockAddrIn& a) override {
        const unsigned char* p = reinterpret_cast<const unsigned char*>(&a.sin_port);
        connects.push_back({s, a.sin_addr, static_cast<std::uint16_t>(p[0] << 8 | p[1])});
        lastError =
            a.sin_addr == transport::kInaddrNone ? transport::kErrAddrNotAvail : connectError;
        return transport::kSocketError;
    }
    int EventSelect(transport::SocketHandle, Handle event, long mask) override {
        selections.emplace_back(event, mask);
        return 0;
    }
    int EnumNetworkEvents(transport::SocketHandle, Handle, transport::NetworkEvents* e) override {
        *e = transport::NetworkEvents{};
        return 0;
    }
    int Send(transport::SocketHandle s, const char* data, std::uint32_t length, std::uint32_t,
             std::uint32_t* sent) override {
        if (!openSockets.count(s) || sendError != 0) {
            *sent = 0;
            return openSockets.count(s) ? sendError : transport::kErrNotSocket;
        }
        wire.emplace_back(data, length);
        *sent = length;
        return 0;
    }
    int Receive(transport::SocketHandle, char*, std::uint32_t, std::uint32_t,
                std::uint32_t* received) override {
        *received = 0;
        return 0;
    }
    void ShutdownSend(transport::SocketHandle) override {}
    void CloseSocket(transport::SocketHandle s) override { openSockets.erase(s); }

    // ---- Bearer. ----
    int CmMapUrl(const char* url, transport::Guid* network) override {
        mappedUrls.emplace_back(url);
        *network = guid;
        return 0;
    }
    Handle CmApiReadyEvent() override {
        readyEvent = NewObject(Object::kEvent);
        objects[readyEvent].signalled = true;
        return readyEvent;
    }
    int CmEstablishConnection(const transport::ConnectionInfo& info, Handle* c) override {
        requests.push_back(info);
        if (failEstablish) return 1;
        *c = NewObject(Object::kBearer);
        bearers.push_back(*c);
        return 0;
    }
    int CmConnectionStatus(Handle c, std::uint32_t* status) override {
        ++statusQueries;
        auto it = objects.find(c);
        if (c == nullptr || it == objects.end() || it->second.kind != Object::kBearer ||
            it->second.closed) {
            *status = 0;
            return 1;
        }
        *status = bearerStatus;
        return 0;
    }
    int CmReleaseConnection(Handle c, std::uint32_t) override {
        released.push_back(c);
        objects.at(c).closed = true;
        return 0;
    }
    // Signals a status change on the newest connection.
    void SetBearerStatus(std::uint32_t status) {
        bearerStatus = status;
        if (!bearers.empty()) objects.at(bearers.back()).signalled = true;
    }

    // ---- Remote access and the probe. ----
    bool EnumRemoteConnections(std::vector<transport::RemoteConnection>* list) override {
        *list = remote;
        return !failEnumeration;
    }
    bool HttpGet(const transport::HttpProbeRequest& request, std::string* body, int* error,
                 std::string* step) override {
        probes.push_back(request);
        *body = probeBody;
        *error = probeError;
        *step = probeStep;
        return probeStep.empty();
    }

    // ---- Helpers for the tests. ----
    bool Signalled(Handle h) const { return objects.at(h).signalled; }
    bool Closed(Handle h) const { return objects.at(h).closed; }
    int TraceCount(const std::string& text) const {
        return static_cast<int>(std::count(traces.begin(), traces.end(), text));
    }
    bool Traced(const std::string& text) const { return TraceCount(text) > 0; }

    // Scripts and results.
    std::function<void(int)> onMainWait;  // before each six-way wait, with its number
    int mainWaits = 0;
    int failNextWaits = 0;
    std::uint32_t clock = 1000;
    int startupError = 0;
    bool failSocketCreation = false;
    bool failThreadCreation = false;
    int connectError = transport::kErrWouldBlock;
    int sendError = 0;
    std::map<std::string, std::uint32_t> hosts;
    bool failEstablish = false;
    std::uint32_t bearerStatus = transport::kCmStatusConnected;
    transport::Guid guid{
        0x01234567, 0x89AB, 0xCDEF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
    std::vector<transport::RemoteConnection> remote;
    bool failEnumeration = false;
    std::string probeBody, probeStep;
    int probeError = 0;

    // Records.
    std::map<Handle, Object> objects;
    std::vector<std::string> traces;
    std::vector<std::uint32_t> sleeps, waitTimeouts;
    std::vector<Handle> threadsCreated, bearers, released;
    Handle readyEvent = nullptr;
    int statusQueries = 0, lastError = 0;
    transport::SocketHandle lastSocket = 100;
    std::set<transport::SocketHandle> openSockets;
    std::vector<std::pair<int, int>> options;
    std::vector<std::string> lookups, mappedUrls, wire;
    std::vector<Connection> connects;
    std::vector<std::pair<Handle, long>> selections;
    std::vector<transport::ConnectionInfo> requests;
    std::vector<transport::HttpProbeRequest> probes;

private:
    // Handles are numbers that only this platform interprets.
    Handle NewObject(Object::Kind kind) {
        Handle h = reinterpret_cast<Handle>(static_cast<std::uintptr_t>(++lastHandle * 16));
        objects[h] = Object{kind};
        return h;
    }
    bool Set(Handle h, bool on) {
        auto it = objects.find(h);
        if (it == objects.end() || it->second.closed) return false;
        it->second.signalled = on;
        return true;
    }
    std::uintptr_t lastHandle = 0;
};

// Reaches the protected members under test.
struct TestClient : CNetClient {
    using CNetClient::AutoConnect;
    using CNetClient::BrowseInet;
    using CNetClient::CheckConnManagerStatus;
    using CNetClient::CNetClient;
    using CNetClient::Connect;
    using CNetClient::GetReconCount;
    using CNetClient::m_bConnecting;
    using CNetClient::m_bKeepAlivePending;
    using CNetClient::m_bMainThreadExit;
    using CNetClient::m_bNetThreadExited;
    using CNetClient::m_bNetThreadRunning;
    using CNetClient::m_bSendPending;
    using CNetClient::m_bSocketConnected;
    using CNetClient::m_bTunnelOpen;
    using CNetClient::m_clientParams;
    using CNetClient::m_dwLastRecvTick;
    using CNetClient::m_dwLastSendTick;
    using CNetClient::m_hConnection;
    using CNetClient::m_hDisconnectSentEvent;
    using CNetClient::m_hMainEvents;
    using CNetClient::m_hNetEvents;
    using CNetClient::m_hNetEventThread;
    using CNetClient::m_nAttemptCount;
    using CNetClient::m_nConnType;
    using CNetClient::m_nHostIndex;
    using CNetClient::m_nMaxReconCount;
    using CNetClient::m_pszCurrentHost;
    using CNetClient::m_socket;
    using CNetClient::MainThread;
    using CNetClient::ReConnect;
    using CNetClient::SendDisconnect;
    using CNetClient::SendKeepAlive;

    // Fields as Open leaves them, without starting any thread.
    void Prepare(const char* h1, const char* h2, const char* h3, const char* h4, int maxRecon = 5,
                 std::uint32_t reconDelay = 700) {
        std::snprintf(m_clientParams.szHost1, sizeof(m_clientParams.szHost1), "%s", h1);
        std::snprintf(m_clientParams.szHost2, sizeof(m_clientParams.szHost2), "%s", h2);
        std::snprintf(m_clientParams.szHost3, sizeof(m_clientParams.szHost3), "%s", h3);
        std::snprintf(m_clientParams.szHost4, sizeof(m_clientParams.szHost4), "%s", h4);
        m_clientParams.dwReconDelay = reconDelay;
        m_nMaxReconCount = maxRecon;
        m_pszCurrentHost = m_clientParams.szHost1;
        m_nHostIndex = 0;
    }
    int State() { return GetConnectionState(); }
    void SetState(enConnectionState s) { SetConnectionState(s); }
};

}  // namespace conntest

#endif
