#ifndef TRANSPORT_FUZZ_FUZZ_SUPPORT_H
#define TRANSPORT_FUZZ_FUZZ_SUPPORT_H

// What the fuzz targets share: a platform whose socket receives are a script,
// a client with its receive-side members in reach, a handler that reads every
// byte of every package (so that the address sanitizer sees a body that
// points outside its memory) and records what it was given, and a check that
// stops the run when a property does not hold.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include <transport/NetClient.h>

#include "client/ClientInternals.h"
#include "message/MessageQueue.h"

namespace fuzz {

// Stops the run with a message; libFuzzer keeps the input that caused it.
[[noreturn]] void Fail(const char* what);
inline void Check(bool ok, const char* what) {
    if (!ok) Fail(what);
}

// The bytes of a parameter exactly as stored (its whole length).
std::string StoredBytes(const NetMessage& message, int index);
// A parameter as text: up to its first zero byte; empty when absent.
std::string TextOf(const NetMessage& message, int index);

// Receives hand out the queued chunks one per call (an empty chunk, or none
// left, reads as the peer's close). Every trace line is read to its zero
// byte and kept until ClearTrace.
class FuzzPlatform : public transport::PlatformWrapper {
public:
    FuzzPlatform();

    void QueueChunk(const std::string& bytes) { m_chunks.push_back(bytes); }
    bool HasChunks() const { return !m_chunks.empty(); }
    int Receive(transport::SocketHandle socket, char* buffer, std::uint32_t capacity,
                std::uint32_t timeoutMs, std::uint32_t* received) override;
    void Trace(const char* text, bool flag) override;
    std::uint32_t GetTickCount() override { return m_tick; }

    // Lines traced since ClearTrace that begin with prefix.
    std::size_t CountTraced(const std::string& prefix) const;
    const std::vector<std::string>& Lines() const { return m_lines; }
    void ClearTrace() { m_lines.clear(); }
    void SetTick(std::uint32_t tick) { m_tick = tick; }

private:
    std::deque<std::string> m_chunks;
    std::vector<std::string> m_lines;
    std::uint32_t m_tick = 1000;
};

// One package as the handler saw it.
struct Delivered {
    int kind = -1;
    unsigned long id = 0;    // message id (kind 0)
    unsigned long code = 0;  // information or error code
    int value1 = 0;
    int value2 = 0;
    bool names = false;                // an information or error names a message
    std::vector<std::string> params;  // message parameters, whole stored bytes
};

// The handler: walks the package and appends it to Packages().
bool RecordingHandler(NetPackage* package);
std::vector<Delivered>& Packages();

// A client that is never opened, with the receive side in reach. The per-run
// objects Open would make (semaphore, response and send kill events) can be
// made without threads; the destructor closes them.
struct FuzzClient : CNetClient {
    explicit FuzzClient(transport::Platform& platform);
    ~FuzzClient() override;

    void CreateRunObjects();
    // Semaphore releases since the last call (takes them).
    long TakeReleases();
    // Whether the response event is set; resets it.
    bool TakeResponse();

    // Messages on the input queue, removed from it.
    std::vector<NetMessage*> TakeInput();
    // ReadData's drain: each queued message is dispatched and removed.
    void DrainInput();

    using CNetClient::DispatchReceived;
    using CNetClient::GetConnectionState;
    using CNetClient::ReadData;
    using CNetClient::SetConnectionState;
    using CNetClient::SetToCacheBuf;
    using CNetClient::UnPackageAndSetToInputQueue;
    using CNetClient::m_bLoginPending;
    using CNetClient::m_bTunnelOpen;
    using CNetClient::m_cacheBuf;
    using CNetClient::m_dwLastRecvTick;
    using CNetClient::m_hSendEvents;
    using CNetClient::m_hSendSemaphore;
    using CNetClient::m_lPrevSendCount;
    using CNetClient::m_nAttemptCount;
    using CNetClient::m_nConnType;
    using CNetClient::m_nLastConnType;
    using CNetClient::m_nReconCount;
    using CNetClient::m_pInputQueue;
    using CNetClient::m_pInternals;
    using CNetClient::m_pLoginMessage;
    using CNetClient::m_pOutputQueue;
    using CNetClient::m_pPartsQueue;
    using CNetClient::m_pSendingMessage;
};

// A message with text parameters (each stored with its zero byte).
NetMessage* MakeMessage(unsigned long id, int priority, const std::vector<std::string>& params);

// Splits data at every occurrence of separator.
std::vector<std::string> Split(const std::uint8_t* data, std::size_t size, char separator);

}  // namespace fuzz

#endif
