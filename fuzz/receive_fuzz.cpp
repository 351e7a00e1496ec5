// The receive cache, the frame cutter and the dispatch by id, fed with any
// byte stream cut into any chunks. Each chunk goes either the whole way
// (ReadData: the socket receive, the cache, the dispatch of every frame) or
// straight to SetToCacheBuf, after which the frames it cut are compared with
// those of a plain re-scanning cutter written here, then dispatched as
// ReadData does. After every chunk the cache must hold what the plain cutter
// holds.
//
// Input: byte 0 sets the scene (see Scene); the rest is the stream. A byte
// 0x7f starts a new chunk that goes through ReadData, a byte 0x1f one that
// goes straight to SetToCacheBuf; the first chunk goes straight.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "message/Frame.h"

namespace {

constexpr std::size_t kCacheCapacity = 5000;
constexpr std::size_t kFrameMax = 2500;
constexpr char kViaReadData = 0x7f;
constexpr char kStraight = 0x1f;

// The cutter as first described: search the whole cache again after every
// chunk; a frame is the text from the last opener before a closer through
// that closer; longer than 2500 characters it is dropped; everything up to
// the closer goes.
struct PlainCutter {
    std::string cache;
    std::vector<std::string> frames;  // cut by the last Append
    std::size_t dropped = 0;          // too long, since the start

    void Append(std::string text) {
        frames.clear();
        if (cache.size() + text.size() > kCacheCapacity) cache.clear();
        if (text.size() > kCacheCapacity) text.erase(0, text.size() - kCacheCapacity);
        cache += text;
        for (;;) {
            const std::size_t open = cache.find("<g44>");
            if (open == std::string::npos) break;
            const std::size_t close = cache.find("</g44>", open);
            if (close == std::string::npos) break;
            const std::size_t start = cache.rfind("<g44>", close);
            const std::size_t end = close + 6;
            if (end - start > kFrameMax) {
                ++dropped;
            } else {
                frames.push_back(cache.substr(start, end - start));
            }
            cache.erase(0, end);
        }
    }
};

struct Chunk {
    bool viaReadData;
    std::string bytes;
};

std::vector<Chunk> Chunks(const std::uint8_t* data, std::size_t size) {
    std::vector<Chunk> out(1, Chunk{false, std::string()});
    for (std::size_t i = 0; i < size; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c == kViaReadData || c == kStraight) {
            out.push_back(Chunk{c == kViaReadData, std::string()});
        } else {
            out.back().bytes.push_back(c);
        }
    }
    return out;
}

std::string TextPart(const std::string& bytes) { return bytes.substr(0, bytes.find('\0')); }

bool SameMessage(const NetMessage& a, const NetMessage& b) {
    if (a.GetId() != b.GetId() || a.GetParams().GetCount() != b.GetParams().GetCount()) {
        return false;
    }
    for (unsigned long i = 0; i < a.GetParams().GetCount(); ++i) {
        const int k = static_cast<int>(i);
        if (fuzz::StoredBytes(a, k) != fuzz::StoredBytes(b, k)) return false;
    }
    return true;
}

// Bits of byte 0.
struct Scene {
    explicit Scene(std::uint8_t b)
        : connected(b & 1),
          emptyStoredToken(b & 2),
          messageInFlight(b & 4),
          loginPending(b & 8),
          smallPartsQueue(b & 16),
          runObjects(b & 32) {}
    bool connected, emptyStoredToken, messageInFlight, loginPending, smallPartsQueue, runObjects;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const Scene scene(data[0]);
    fuzz::Packages().clear();
    fuzz::FuzzPlatform platform;
    fuzz::FuzzClient client(platform);
    if (scene.runObjects) client.CreateRunObjects();
    client.m_nConnType = CNetClient::CONNTYPE_DIRECT;
    client.SetConnectionState(scene.connected ? CNetClient::CONN_CONNECTED
                                              : CNetClient::CONN_SOCKET_CONNECTED);
    client.m_pLoginMessage = fuzz::MakeMessage(
        1, 2, {"usr", scene.emptyStoredToken ? "" : "pwd", "", "7", "five", "six"});
    client.m_bLoginPending = scene.loginPending;
    if (scene.messageInFlight) {
        client.m_pOutputQueue->PushByPriority(fuzz::MakeMessage(42, 3, {"in flight"}));
        std::lock_guard<std::mutex> lock(client.m_pOutputQueue->Mutex());
        client.m_pSendingMessage = client.m_pOutputQueue->PeekByPriorityLocked();
    }
    if (scene.smallPartsQueue) {
        client.m_pInternals->partsMaxCount = 3;
        client.m_pInternals->partsMaxBytes = 4096;
    }

    PlainCutter plain;
    for (const Chunk& chunk : Chunks(data + 1, size - 1)) {
        if (chunk.viaReadData) {
            platform.QueueChunk(chunk.bytes);
            // One receive takes at most 2500 bytes; an empty chunk is the
            // peer's close.
            do {
                client.ReadData();
            } while (platform.HasChunks());
            for (std::size_t at = 0; at < chunk.bytes.size(); at += 2500) {
                plain.Append(TextPart(chunk.bytes.substr(at, 2500)));
            }
            fuzz::Check(client.m_pInputQueue->GetItemCount() == 0,
                        "ReadData left received messages on the input queue");
        } else {
            std::string buffer = chunk.bytes;
            client.SetToCacheBuf(&buffer[0], static_cast<unsigned long>(buffer.size()));
            plain.Append(TextPart(chunk.bytes));
            fuzz::Check(client.m_pInputQueue->GetItemCount() ==
                            static_cast<int>(plain.frames.size()),
                        "the cutter cut another number of frames than the plain cutter");
            for (std::size_t i = 0; i < plain.frames.size(); ++i) {
                NetMessage expected;
                transport::ParseFrame(expected, plain.frames[i].c_str());
                const NetMessage* cut = client.m_pInputQueue->ItemAt(static_cast<int>(i));
                fuzz::Check(cut != nullptr && SameMessage(*cut, expected),
                            "the cutter cut another frame than the plain cutter");
            }
            client.DrainInput();
        }
        const std::size_t held = strnlen(client.m_cacheBuf, sizeof(client.m_cacheBuf));
        fuzz::Check(held <= kCacheCapacity, "the cache holds more than 5000 characters");
        fuzz::Check(std::string(client.m_cacheBuf, held) == plain.cache,
                    "the cache holds another text than the plain cutter's");
        fuzz::Check(client.m_pPartsQueue->GetItemCount() <=
                        static_cast<int>(client.m_pInternals->partsMaxCount),
                    "the parts queue outgrew its bound");
    }
    fuzz::Check(platform.CountTraced("Frame too long (") == plain.dropped,
                "a frame over 2500 characters was not dropped with its trace line");

    // What reached the handler is what the ids allow.
    for (const fuzz::Delivered& d : fuzz::Packages()) {
        if (d.kind == NetPackage::KIND_INFORMATION && d.code == 3) {
            fuzz::Check(d.value1 >= 1 && d.value1 <= d.value2, "progress outside 1..total");
        }
        if (d.kind == NetPackage::KIND_MESSAGE && d.id == 10) {
            fuzz::Check(d.params.size() == 3, "a joined object without name, part text and data");
        }
    }
    return 0;
}
