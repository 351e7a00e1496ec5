#include "message/TransferAssembler.h"

#include <transport/NetMessage.h>
#include <transport/Platform.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <utility>

#include "message/Base64Codec.h"
#include "message/MessageIds.h"
#include "message/MessageQueue.h"

namespace transport {
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

// The Base64 text of the bytes, zero-terminated, in an area of its exact size;
// null when that area cannot be had. *count is the text length + 1.
std::unique_ptr<char[]> Encode64(const Bytes& bytes, unsigned long* count) {
    const std::uint64_t size = (std::uint64_t{bytes.length} + 2) / 3 * 4 + 1;
    if (size > std::numeric_limits<std::size_t>::max() ||
        size > std::numeric_limits<unsigned long>::max()) {
        return nullptr;
    }
    std::unique_ptr<char[]> text(new (std::nothrow) char[static_cast<std::size_t>(size)]);
    if (text) *count = Base64Codec().ToBase64(bytes.data, bytes.length, text.get());
    return text;
}

// Decodes Base64 text into a new area sized from the text, with room for a
// zero byte after the data. Null when no room is left.
std::unique_ptr<unsigned char[]> Decode64(const char* text, std::size_t length,
                                          unsigned long* decoded) {
    const std::size_t size = (length + 3) / 4 * 3 + 1;
    std::unique_ptr<unsigned char[]> area(new (std::nothrow) unsigned char[size]);
    if (!area) return nullptr;
    *decoded = Base64Codec().FromBase64(text, static_cast<unsigned long>(length), area.get());
    area[*decoded] = 0;
    return area;
}

// priority 0 keeps a new message's own priority (received messages have none).
std::unique_ptr<NetMessage> NewMessage(unsigned long id, int priority = 0) {
    auto message = std::make_unique<NetMessage>();
    message->SetId(id);
    if (priority != 0) message->SetPriority(priority);
    return message;
}

}  // namespace

TransferAssembler::TransferAssembler(CMessageQueue& parts, Platform& platform)
    : m_parts(parts), m_platform(platform) {}

void TransferAssembler::Trace(const char* text) { m_platform.Trace(text, false); }

std::vector<std::unique_ptr<NetMessage>> TransferAssembler::Package(const NetMessage& message) {
    std::vector<std::unique_ptr<NetMessage>> out;
    const unsigned long id = message.GetId();
    const int priority = message.GetPriority();
    char line[128];
    if (priority < 1 || priority > 4) {
        std::snprintf(line, sizeof(line),
                      "PackageAndSetToOutputQueue: priority %d is not 1 to 4, message dropped",
                      priority);
        Trace(line);
        return out;
    }

    // The binary parameter: 0 for ids 300 to 399, 1 (after the name) for id 10.
    const int binary = id == kIdObjectPart ? 1 : 0;
    Bytes object;
    if (!ReadParam(message, binary, &object)) {
        std::snprintf(line, sizeof(line),
                      "PackageAndSetToOutputQueue: id %lu has no parameter %d, sent as empty", id,
                      binary);
        Trace(line);
    }
    unsigned long count = 0;
    std::unique_ptr<char[]> text = Encode64(object, &count);
    if (!text) {
        std::snprintf(line, sizeof(line),
                      "PackageAndSetToOutputQueue: no room to encode %lu bytes, message dropped",
                      object.length);
        Trace(line);
        return out;
    }

    if (id != kIdObjectPart) {
        out.push_back(NewMessage(id, priority));
        NetParamList& params = out.back()->GetParams();
        params.AddTail(text.get(), count);
        for (unsigned long k = 1; k < message.GetParams().GetCount(); ++k) {
            AddText(params, ParamText(message, static_cast<int>(k)));
        }
        return out;
    }

    // count includes the zero byte: a text whose length is a multiple of 2048
    // gets a last part with an empty piece, which still tells the receiver
    // that the transfer is complete.
    const unsigned long parts = count / kPieceLength + (count % kPieceLength != 0 ? 1 : 0);
    const std::string name = ParamText(message, 0);
    out.reserve(parts);
    unsigned long position = 0;
    for (unsigned long part = 1; part <= parts; ++part) {
        const unsigned long take = count - position < kPieceLength ? count - position : kPieceLength;
        // Room for two full-width counts, so the text is never cut.
        char partText[48] = {};
        std::snprintf(partText, sizeof(partText), "%lu/%lu", part, parts);
        out.push_back(NewMessage(kIdObjectPart, priority));
        NetParamList& params = out.back()->GetParams();
        AddText(params, name);
        AddText(params, partText);
        AddText(params, std::string_view(text.get() + position,
                                         ParamTextLength(text.get() + position, take)));
        position += take;
    }
    return out;
}

TransferAssembler::Received TransferAssembler::Unpackage(const NetMessage& message) {
    const unsigned long id = message.GetId();
    if (IsBinaryId(id) || id == kIdBlock) return Single(message);
    if (id == kIdTransfer || id == kIdObjectPart) return Part(message);
    // Not packaged: handed on as it came.
    Trace("UnPackageAndSetToInputQueue: id is not packaged, delivered as received");
    Received received;
    received.whole.reset(static_cast<NetMessage*>(message.Clone()));
    return received;
}

namespace {

constexpr char kNotBase64[] = "UnPackageAndSetToInputQueue: data is not Base64, message dropped";

// Decodes into *area, or says why the message is dropped. Servers may wrap
// their Base64 in lines: white space is skipped, as decoders commonly do.
const char* Decode(std::string text, unsigned long* decoded,
                   std::unique_ptr<unsigned char[]>* area) {
    text.erase(std::remove_if(text.begin(), text.end(),
                              [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }),
               text.end());
    if (!IsBase64Text(text.data(), text.size())) return kNotBase64;
    *area = Decode64(text.data(), text.size(), decoded);
    return *area ? nullptr : "UnPackageAndSetToInputQueue: no room to decode, message dropped";
}

void TraceMissing(Platform& platform, unsigned long id, unsigned long params,
                  unsigned long needed) {
    char line[160];
    std::snprintf(line, sizeof(line),
                  "UnPackageAndSetToInputQueue: id %lu has %lu of %lu parameters", id, params,
                  needed);
    platform.Trace(line, false);
}

}  // namespace

TransferAssembler::Received TransferAssembler::Single(const NetMessage& message) {
    // One frame: an absent parameter reads as empty text, that is no data.
    Received received;
    const unsigned long id = message.GetId();
    const unsigned long params = message.GetParams().GetCount();
    const int data = id == kIdBlock ? 3 : 0;
    const unsigned long needed = static_cast<unsigned long>(data) + 1;
    if (params < needed) TraceMissing(m_platform, id, params, needed);
    unsigned long decoded = 0;
    std::unique_ptr<unsigned char[]> area;
    if (const char* fault = Decode(ParamText(message, data), &decoded, &area)) {
        Trace(fault);
        received.undecodable = fault == kNotBase64;
        return received;
    }

    received.whole = NewMessage(id);
    NetParamList& out = received.whole->GetParams();
    if (id == kIdBlock) {
        for (int k = 0; k < 3; ++k) AddText(out, ParamText(message, k));
        out.AddTail(area.get(), decoded);  // exactly the data, no zero byte
    } else {
        out.AddTail(area.get(), decoded + 1);
        for (unsigned long k = 1; k < params; ++k) {
            AddText(out, ParamText(message, static_cast<int>(k)));
        }
    }
    return received;
}

void TransferAssembler::MakeRoom(std::size_t bytes) {
    while (m_parts.GetItemCount() > 0 &&
           (m_ledger.Entries() + 1 > maxParts || m_ledger.Bytes() + bytes > maxBytes)) {
        const NetMessage* oldest = m_parts.ItemAt(0);
        PartView dropped;
        const bool readable = oldest != nullptr && ReadPart(*oldest, &dropped) == PartFault::kNone;
        m_ledger.Remove(readable ? &dropped.key : nullptr, readable ? dropped.part : 0,
                        oldest != nullptr ? MessageBytes(*oldest) : 0);
        m_parts.PopFirst();
        Trace("UnPackageAndSetToInputQueue: parts queue full, oldest part dropped");
    }
}

TransferAssembler::Received TransferAssembler::Part(const NetMessage& message) {
    Received received;
    const unsigned long id = message.GetId();
    char line[160];
    PartView view;
    switch (ReadPart(message, &view)) {
        case PartFault::kNone:
            break;
        case PartFault::kMissingParameters:
            TraceMissing(m_platform, id, message.GetParams().GetCount(), PartLayoutOf(id).count);
            return received;
        case PartFault::kBadPartText:
            std::snprintf(line, sizeof(line),
                          "UnPackageAndSetToInputQueue: part text \"%.40s\" refused",
                          ParamText(message, PartLayoutOf(id).partText).c_str());
            Trace(line);
            return received;
        case PartFault::kPieceTooLong:
            Trace("UnPackageAndSetToInputQueue: piece longer than 2500 characters refused");
            return received;
    }
    const int part = view.part;
    const int total = view.key.total;
    received.answers = id == kIdTransfer && part == 1;

    if (m_ledger.Entries() != static_cast<std::size_t>(m_parts.GetItemCount())) {
        m_ledger.Rebuild(m_parts);  // the queue was emptied behind the ledger's back
    }
    const std::size_t bytes = MessageBytes(message);
    if (static_cast<std::size_t>(total) > maxParts || bytes > maxBytes) {
        std::snprintf(line, sizeof(line),
                      "UnPackageAndSetToInputQueue: part %d/%d does not fit the parts queue", part,
                      total);
        Trace(line);
        return received;
    }
    if (m_ledger.Has(view.key, part)) {
        for (int i = 0; i < m_parts.GetItemCount(); ++i) {
            const NetMessage* queued = m_parts.ItemAt(i);
            PartView earlier;
            if (queued != nullptr && ReadPart(*queued, &earlier) == PartFault::kNone &&
                earlier.part == part && earlier.key == view.key) {
                m_ledger.Remove(&earlier.key, part, MessageBytes(*queued));
                m_parts.EraseAt(i);
                break;
            }
        }
        std::snprintf(line, sizeof(line),
                      "UnPackageAndSetToInputQueue: part %d/%d of \"%.40s\" replaces an earlier copy",
                      part, total, view.key.name.c_str());
        Trace(line);
    }
    MakeRoom(bytes);
    m_parts.PushBack(static_cast<NetMessage*>(message.Clone()));
    m_ledger.Add(view.key, part, bytes);

    if (m_ledger.Received(view.key) < static_cast<std::size_t>(total)) {
        if (part == total) {
            std::snprintf(line, sizeof(line),
                          "UnPackageAndSetToInputQueue: %lu of %d parts of \"%.40s\" have arrived",
                          static_cast<unsigned long>(m_ledger.Received(view.key)), total,
                          view.key.name.c_str());
            Trace(line);
        }
        // Progress counts the parts held, whatever order they came in.
        received.progress = true;
        received.part = static_cast<int>(m_ledger.Received(view.key));
    } else {
        received.whole = Join(message, view, &received.undecodable);
        received.part = total;
    }
    received.total = total;
    return received;
}

std::unique_ptr<NetMessage> TransferAssembler::Join(const NetMessage& last, const PartView& view,
                                                    bool* undecodable) {
    // Take the pieces in part order. Every piece has at most 2500
    // characters, so the joined text stays within n x 2500.
    const std::size_t total = static_cast<std::size_t>(view.key.total);
    std::vector<const char*> pieces(total, nullptr);
    std::vector<std::size_t> lengths(total, 0);
    std::vector<int> matched;
    std::vector<int> matchedParts;
    std::vector<std::size_t> matchedBytes;
    const int count = m_parts.GetItemCount();
    for (int i = 0; i < count; ++i) {
        const NetMessage* queued = m_parts.ItemAt(i);
        PartView other;
        if (queued == nullptr || ReadPart(*queued, &other) != PartFault::kNone ||
            !(other.key == view.key)) {
            continue;
        }
        const std::size_t slot = static_cast<std::size_t>(other.part - 1);
        pieces[slot] = other.data;  // a later copy wins, as on arrival
        lengths[slot] = other.dataLength;
        matched.push_back(i);
        matchedParts.push_back(other.part);
        matchedBytes.push_back(MessageBytes(*queued));
    }
    std::size_t joinedLength = 0;
    for (std::size_t slot = 0; slot < total; ++slot) joinedLength += lengths[slot];
    std::string joined;
    bool room = true;
    try {
        joined.reserve(joinedLength);
        for (std::size_t slot = 0; slot < total; ++slot) {
            if (pieces[slot] != nullptr) joined.append(pieces[slot], lengths[slot]);
        }
    } catch (const std::bad_alloc&) {
        room = false;
    }
    const unsigned long id = view.key.id;
    const std::string partText = std::to_string(view.key.total) + "/" + std::to_string(view.key.total);
    const std::string leading = id == kIdTransfer ? ParamText(last, 0) : std::string();

    EraseEntries(m_parts, matched);
    for (std::size_t j = 0; j < matched.size(); ++j) {
        m_ledger.Remove(&view.key, matchedParts[j], matchedBytes[j]);
    }
    if (!room) {
        Trace("UnPackageAndSetToInputQueue: no room to join the parts, transfer dropped");
        return nullptr;
    }

    unsigned long decoded = 0;
    std::unique_ptr<unsigned char[]> area;
    const char* fault = Decode(std::move(joined), &decoded, &area);
    if (fault != nullptr) {
        Trace(fault);
        *undecodable = fault == kNotBase64;
        return nullptr;
    }
    auto body = NewMessage(id);
    NetParamList& out = body->GetParams();
    if (id == kIdTransfer) AddText(out, leading);
    AddText(out, view.key.name);
    AddText(out, partText);
    out.AddTail(area.get(), decoded + 1);
    return body;
}

}  // namespace transport
