// Incoming binary data: decodes the Base64 of ids 9 and 300 to 399 and
// reassembles the multi-part transfers of ids 8 and 10, then hands the result
// to the application. Runs on the network-event thread only.
//
// A transfer is complete when all its part numbers 1 to n have arrived,
// whatever their order; its pieces are joined by part number. Parts belong
// to one transfer when their id, name and total agree; a part number that
// arrives again replaces the earlier copy (a resent or restarted transfer).

#include <transport/NetClient.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "client/ClientInternals.h"
#include "client/MessageQueue.h"
#include "message/Base64Codec.h"
#include "message/PartsLedger.h"

using transport::PartFault;
using transport::PartView;
using transport::TransferKey;

namespace {

void AddText(NetParamList& params, const std::string& text) {
    params.AddTail(text.c_str(), static_cast<unsigned long>(text.size() + 1));
}

// Decodes Base64 text into a new area sized from the text, with room for a
// zero byte after the data. Null when no room is left.
std::unique_ptr<unsigned char[]> Decode64(const char* text, std::size_t length,
                                          unsigned long* decoded) {
    const std::size_t size = (length + 3) / 4 * 3 + 1;
    std::unique_ptr<unsigned char[]> area(new (std::nothrow) unsigned char[size]);
    if (!area) return nullptr;
    *decoded =
        transport::Base64Codec().FromBase64(text, static_cast<unsigned long>(length), area.get());
    area[*decoded] = 0;
    return area;
}

}  // namespace

void CNetClient::UnPackageAndSetToInputQueue(NetMessage* message) {
    NetClientTrace("UnPackageAndSetToInputQueue");
    if (message == nullptr) return;
    const unsigned long id = message->GetId();
    const unsigned long params = message->GetParams().GetCount();
    char line[160];

    auto deliver = [this](NetMessage* body) {
        NetPackage package(NetPackage::KIND_MESSAGE, body);
        Deliver(package);
    };
    auto missing = [&](unsigned long needed) {
        std::snprintf(line, sizeof(line),
                      "UnPackageAndSetToInputQueue: id %lu has %lu of %lu parameters", id, params,
                      needed);
        NetClientTrace(line);
    };
    // Decodes into *area, or traces why the message is dropped.
    auto decode = [this](const char* text, std::size_t length, unsigned long* decoded,
                         std::unique_ptr<unsigned char[]>* area) {
        if (!transport::IsBase64Text(text, length)) {
            NetClientTrace("UnPackageAndSetToInputQueue: data is not Base64, message dropped");
            return false;
        }
        *area = Decode64(text, length, decoded);
        if (!*area)
            NetClientTrace("UnPackageAndSetToInputQueue: no room to decode, message dropped");
        return static_cast<bool>(*area);
    };

    if ((id >= 300 && id <= 399) || id == 9) {
        // One frame: an absent parameter reads as empty text, that is no data.
        const int data = id == 9 ? 3 : 0;
        const unsigned long needed = static_cast<unsigned long>(data) + 1;
        if (params < needed) missing(needed);
        const std::string text = transport::ParamText(*message, data);
        unsigned long decoded = 0;
        std::unique_ptr<unsigned char[]> area;
        if (!decode(text.data(), text.size(), &decoded, &area)) return;

        auto* body = new NetMessage;
        body->SetId(id);
        NetParamList& out = body->GetParams();
        if (id == 9) {
            for (int k = 0; k < 3; ++k) AddText(out, transport::ParamText(*message, k));
            out.AddTail(area.get(), decoded);  // exactly the data, no zero byte
        } else {
            out.AddTail(area.get(), decoded + 1);
            for (unsigned long k = 1; k < params; ++k) {
                AddText(out, transport::ParamText(*message, static_cast<int>(k)));
            }
        }
        return deliver(body);
    }

    if (id != 8 && id != 10) {
        // Not packaged: hand it on as it came.
        NetClientTrace("UnPackageAndSetToInputQueue: id is not packaged, delivered as received");
        return deliver(static_cast<NetMessage*>(message->Clone()));
    }

    PartView view;
    switch (transport::ReadPart(*message, &view)) {
        case PartFault::kNone:
            break;
        case PartFault::kMissingParameters:
            return missing(transport::PartLayoutOf(id).count);
        case PartFault::kBadPartText: {
            const std::string partText =
                transport::ParamText(*message, transport::PartLayoutOf(id).partText);
            std::snprintf(line, sizeof(line),
                          "UnPackageAndSetToInputQueue: part text \"%.40s\" refused",
                          partText.c_str());
            NetClientTrace(line);
            return;
        }
        case PartFault::kPieceTooLong:
            NetClientTrace(
                "UnPackageAndSetToInputQueue: piece longer than 2500 characters refused");
            return;
    }
    const int part = view.part;
    const int total = view.key.total;
    if (id == 8 && part == 1 && m_hSendEvents[0] != nullptr &&
        m_pInternals->AnswersCurrentTransmission()) {
        // The first part of a server transfer answers the message in flight
        // (unless it came before that message went out).
        m_pPlatform->SetEvent(m_hSendEvents[0]);
    }

    transport::ClientInternals& internals = *m_pInternals;
    CMessageQueue& queue = *m_pPartsQueue;
    if (!internals.partsLedger) internals.partsLedger = std::make_shared<transport::PartsLedger>();
    transport::PartsLedger& ledger = *internals.partsLedger;
    if (ledger.Entries() != static_cast<std::size_t>(queue.GetItemCount())) ledger.Rebuild(queue);

    const std::size_t bytes = transport::MessageBytes(*message);
    if (static_cast<std::size_t>(total) > internals.partsMaxCount ||
        bytes > internals.partsMaxBytes) {
        std::snprintf(line, sizeof(line),
                      "UnPackageAndSetToInputQueue: part %d/%d does not fit the parts queue", part,
                      total);
        NetClientTrace(line);
        return;
    }

    if (ledger.Has(view.key, part)) {
        for (int i = 0; i < queue.GetItemCount(); ++i) {
            const NetMessage* queued = queue.ItemAt(i);
            PartView earlier;
            if (queued != nullptr && transport::ReadPart(*queued, &earlier) == PartFault::kNone &&
                earlier.part == part && earlier.key == view.key) {
                ledger.Remove(&earlier.key, part, transport::MessageBytes(*queued));
                queue.EraseAt(i);
                break;
            }
        }
        std::snprintf(
            line, sizeof(line),
            "UnPackageAndSetToInputQueue: part %d/%d of \"%.40s\" replaces an earlier copy", part,
            total, view.key.name.c_str());
        NetClientTrace(line);
    }
    while (queue.GetItemCount() > 0 && (ledger.Entries() + 1 > internals.partsMaxCount ||
                                        ledger.Bytes() + bytes > internals.partsMaxBytes)) {
        const NetMessage* oldest = queue.ItemAt(0);
        PartView dropped;
        const bool readable =
            oldest != nullptr && transport::ReadPart(*oldest, &dropped) == PartFault::kNone;
        ledger.Remove(readable ? &dropped.key : nullptr, readable ? dropped.part : 0,
                      oldest != nullptr ? transport::MessageBytes(*oldest) : 0);
        queue.PopFirst();
        NetClientTrace("UnPackageAndSetToInputQueue: parts queue full, oldest part dropped");
    }
    queue.PushBack(static_cast<NetMessage*>(message->Clone()));
    ledger.Add(view.key, part, bytes);

    auto progress = [&]() {
        NetPackage package;
        SetInformation(package, 3, part, total);
        Deliver(package);
    };
    if (ledger.Received(view.key) < static_cast<std::size_t>(total)) {
        if (part == total) {
            std::snprintf(line, sizeof(line),
                          "UnPackageAndSetToInputQueue: %lu of %d parts of \"%.40s\" have arrived",
                          static_cast<unsigned long>(ledger.Received(view.key)), total,
                          view.key.name.c_str());
            NetClientTrace(line);
        }
        return progress();
    }

    // Complete: take the pieces in part order. Every piece has at most 2500
    // characters, so the joined text stays within n x 2500.
    std::vector<const char*> pieces(static_cast<std::size_t>(total), nullptr);
    std::vector<std::size_t> lengths(static_cast<std::size_t>(total), 0);
    std::vector<int> matched;
    std::vector<int> matchedParts;
    std::vector<std::size_t> matchedBytes;
    const int count = queue.GetItemCount();
    for (int i = 0; i < count; ++i) {
        const NetMessage* queued = queue.ItemAt(i);
        PartView other;
        if (queued == nullptr || transport::ReadPart(*queued, &other) != PartFault::kNone ||
            !(other.key == view.key)) {
            continue;
        }
        const std::size_t slot = static_cast<std::size_t>(other.part - 1);
        pieces[slot] = other.data;  // a later copy wins, as on arrival
        lengths[slot] = other.dataLength;
        matched.push_back(i);
        matchedParts.push_back(other.part);
        matchedBytes.push_back(transport::MessageBytes(*queued));
    }
    std::size_t joinedLength = 0;
    for (std::size_t slot = 0; slot < pieces.size(); ++slot) {
        if (pieces[slot] == nullptr) {
            // The queue was changed behind the ledger's back.
            NetClientTrace("UnPackageAndSetToInputQueue: parts queue recounted");
            ledger.Rebuild(queue);
            return progress();
        }
        joinedLength += lengths[slot];
    }
    std::unique_ptr<char[]> joined(new (std::nothrow) char[joinedLength + 1]);
    if (joined) {
        std::size_t at = 0;
        for (std::size_t slot = 0; slot < pieces.size(); ++slot) {
            std::memcpy(joined.get() + at, pieces[slot], lengths[slot]);
            at += lengths[slot];
        }
        joined[joinedLength] = '\0';
    }
    const transport::PartLayout layout = transport::PartLayoutOf(id);
    const std::string partText = transport::ParamText(*message, layout.partText);
    const std::string leading = id == 8 ? transport::ParamText(*message, 0) : std::string();

    transport::EraseEntries(queue, matched);
    for (std::size_t j = 0; j < matched.size(); ++j) {
        ledger.Remove(&view.key, matchedParts[j], matchedBytes[j]);
    }
    if (!joined) {
        NetClientTrace("UnPackageAndSetToInputQueue: no room to join the parts, transfer dropped");
        return;
    }

    unsigned long decoded = 0;
    std::unique_ptr<unsigned char[]> area;
    const bool ok = decode(joined.get(), joinedLength, &decoded, &area);
    joined.reset();
    if (!ok) return;
    auto* body = new NetMessage;
    body->SetId(id);
    NetParamList& out = body->GetParams();
    if (id == 8) AddText(out, leading);
    AddText(out, view.key.name);
    AddText(out, partText);
    out.AddTail(area.get(), decoded + 1);
    area.reset();
    deliver(body);
}
