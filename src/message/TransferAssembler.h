#ifndef TRANSPORT_MESSAGE_TRANSFER_ASSEMBLER_H
#define TRANSPORT_MESSAGE_TRANSFER_ASSEMBLER_H

#include <cstddef>
#include <memory>
#include <vector>

#include "message/PartsLedger.h"

class CMessageQueue;
class NetMessage;

namespace transport {

class Platform;

// Binary data both ways. Out: the first parameter of ids 300 to 399 travels
// as Base64 text in the message's own frame; the object of an id 10 message
// as numbered parts of 2048 Base64 characters, one message each. In: the
// Base64 of ids 9 and 300 to 399 is decoded, and the parts of ids 8 and 10
// are kept in the parts queue until parts 1 to n of a transfer are all
// there, whatever their order, then joined by part number. Parts belong to
// one transfer when their id, name and total agree; a part number that
// arrives again replaces the earlier copy.
//
// The assembler decides; the caller queues, delivers and answers. Bad input
// is dropped with a trace line. Unpackage runs on the network-event thread
// only, the only thread that changes the parts queue while the client runs.
class TransferAssembler {
public:
    // platform serves only as the trace sink.
    TransferAssembler(CMessageQueue& parts, Platform& platform);

    // The messages that carry message on the wire, in order; none when it
    // cannot be carried (priority outside 1 to 4, no room to encode).
    std::vector<std::unique_ptr<NetMessage>> Package(const NetMessage& message);

    struct Received {
        std::unique_ptr<NetMessage> whole;  // to deliver to the handler
        bool progress = false;              // information 3 with (parts held, total)
        int part = 0;
        int total = 0;
        bool answers = false;  // the first part of a server transfer answers the request in flight
        bool undecodable = false;  // dropped: its data is not Base64; the application is told
    };
    Received Unpackage(const NetMessage& message);

    // Bounds of the parts queue, so that a server cannot make the client
    // hold unbounded memory: past them the oldest parts are dropped, and a
    // transfer of more parts than maxParts is refused.
    std::size_t maxParts = 16384;
    std::size_t maxBytes = 64u * 1024 * 1024;

private:
    Received Single(const NetMessage& message);
    Received Part(const NetMessage& message);
    void MakeRoom(std::size_t bytes);
    std::unique_ptr<NetMessage> Join(const NetMessage& last, const PartView& view, bool* undecodable);
    void Trace(const char* text);

    CMessageQueue& m_parts;
    Platform& m_platform;
    PartsLedger m_ledger;
};

}  // namespace transport

#endif
