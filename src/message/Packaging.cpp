// Outgoing binary data: the first parameter of ids 300 to 399 travels as
// Base64 text in the message's own frame; the object of an id 10 message
// travels as numbered parts of 2048 Base64 characters, one message each.

#include <transport/NetClient.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "client/MessageQueue.h"
#include "message/Base64Codec.h"
#include "message/PartsLedger.h"

namespace {

constexpr unsigned long kPieceLength = 2048;

// A parameter's buffer and length; an absent parameter reads as empty.
struct Bytes {
    const unsigned char* data;
    unsigned long length;
};

bool ReadParam(const NetMessage& message, int k, Bytes* bytes) {
    static const unsigned char kNothing = 0;
    *bytes = Bytes{&kNothing, 0};
    void* data = nullptr;
    unsigned long length = 0;
    if (static_cast<unsigned long>(k) >= message.GetParams().GetCount() ||
        !message.GetParams().GetAt(k, &data, &length)) {
        return false;
    }
    if (data != nullptr) *bytes = Bytes{static_cast<const unsigned char*>(data), length};
    return true;
}

// Appends text (not zero-terminated) as a text parameter with its zero byte counted.
void AddText(NetParamList& params, const char* text, std::size_t length) {
    std::unique_ptr<char[]> copy(new char[length + 1]);
    std::memcpy(copy.get(), text, length);
    copy[length] = '\0';
    params.AddTail(copy.get(), static_cast<unsigned long>(length + 1));
}

// Parameter k of the source as zero-terminated text; empty when absent.
void AddParamText(NetParamList& params, const NetMessage& source, int k) {
    Bytes bytes;
    ReadParam(source, k, &bytes);
    AddText(params, reinterpret_cast<const char*>(bytes.data),
            transport::ParamTextLength(bytes.data, bytes.length));
}

// The Base64 text of the bytes, zero-terminated, in an area of its exact size;
// null when that area cannot be had. *count is the text length + 1.
std::unique_ptr<char[]> Encode64(const Bytes& bytes, unsigned long* count) {
    const std::uint64_t size = (std::uint64_t{bytes.length} + 2) / 3 * 4 + 1;
    if (size > std::numeric_limits<std::size_t>::max() ||
        size > std::numeric_limits<unsigned long>::max()) {
        return nullptr;
    }
    std::unique_ptr<char[]> text(new (std::nothrow) char[static_cast<std::size_t>(size)]);
    if (text) *count = transport::Base64Codec().ToBase64(bytes.data, bytes.length, text.get());
    return text;
}

}  // namespace

void CNetClient::PackageAndSetToOutputQueue(const NetMessage* message) {
    if (message == nullptr) return;
    const unsigned long id = message->GetId();
    const int priority = message->GetPriority();
    char line[128];
    if (priority < 1 || priority > 4) {
        std::snprintf(line, sizeof(line),
                      "PackageAndSetToOutputQueue: priority %d is not 1 to 4, message dropped",
                      priority);
        NetClientTrace(line);
        return;
    }

    // The binary parameter: 0 for ids 300 to 399, 1 (after the name) for id 10.
    const int binary = id == 10 ? 1 : 0;
    Bytes object;
    if (!ReadParam(*message, binary, &object)) {
        std::snprintf(line, sizeof(line),
                      "PackageAndSetToOutputQueue: id %lu has no parameter %d, sent as empty", id,
                      binary);
        NetClientTrace(line);
    }
    unsigned long count = 0;
    std::unique_ptr<char[]> text = Encode64(object, &count);
    if (!text) {
        std::snprintf(line, sizeof(line),
                      "PackageAndSetToOutputQueue: no room to encode %lu bytes, message dropped",
                      object.length);
        NetClientTrace(line);
        return;
    }

    if (id != 10) {
        auto* packaged = new NetMessage;
        packaged->SetId(id);
        packaged->SetPriority(priority);
        packaged->GetParams().AddTail(text.get(), count);
        const unsigned long params = message->GetParams().GetCount();
        for (unsigned long k = 1; k < params; ++k) {
            AddParamText(packaged->GetParams(), *message, static_cast<int>(k));
        }
        if (m_pOutputQueue->PushByPriority(packaged)) ReleaseSendSemaphore(1);
        return;
    }

    // count includes the zero byte: a text whose length is a multiple of 2048
    // gets a last part with an empty piece, which still tells the receiver
    // that the transfer is complete.
    const unsigned long parts = count / kPieceLength + (count % kPieceLength != 0 ? 1 : 0);
    Bytes name;
    ReadParam(*message, 0, &name);
    const std::size_t nameLength = transport::ParamTextLength(name.data, name.length);
    unsigned long position = 0;
    for (unsigned long part = 1; part <= parts; ++part) {
        const unsigned long take =
            count - position < kPieceLength ? count - position : kPieceLength;
        // Room for two full-width counts, so the text is never cut (a
        // transfer's part count has at most 7 digits in practice).
        char partText[48] = {};
        std::snprintf(partText, sizeof(partText), "%lu/%lu", part, parts);

        auto* packaged = new NetMessage;
        packaged->SetId(10);
        packaged->SetPriority(priority);
        AddText(packaged->GetParams(), reinterpret_cast<const char*>(name.data), nameLength);
        AddText(packaged->GetParams(), partText, std::strlen(partText));
        AddText(packaged->GetParams(), text.get() + position,
                transport::ParamTextLength(text.get() + position, take));
        position += take;
        if (m_pOutputQueue->PushByPriority(packaged)) ReleaseSendSemaphore(1);
    }
}
