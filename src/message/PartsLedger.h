#ifndef TRANSPORT_MESSAGE_PARTS_LEDGER_H
#define TRANSPORT_MESSAGE_PARTS_LEDGER_H

// Reading received part messages (ids 8 and 10) and keeping account of the
// parts queue, so that the unpackaging knows in constant time whether a
// transfer is complete and how much the queue holds.

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

class CMessageQueue;
class NetParamList;
class NetMessage;

namespace transport {

// A piece longer than this is refused, which keeps a joined text within the
// n x 2500 characters that n parts may fill.
constexpr std::size_t kMaxPieceLength = 2500;

// Length of a parameter's text: up to its first zero byte, never past its
// buffer. A null buffer has length 0.
std::size_t ParamTextLength(const void* data, unsigned long length);

// Parameter k of a message as text; empty when the message has no parameter k.
std::string ParamText(const NetMessage& message, int k);

// Appends text as a text parameter, its terminating zero byte counted.
void AddText(NetParamList& params, std::string_view text);

// Reads a part text "i/n": split at the last "/", each side 1 to 9 decimal
// digits and nothing else, 1 <= i <= n. False for anything else.
bool ParsePartText(const char* text, std::size_t length, int* part, int* total);

// True when text is made of the standard Base64 alphabet with at most two
// "=" at its end, and does not end in a lone character (which no encoder
// writes and which carries no whole byte).
bool IsBase64Text(const char* text, std::size_t length);

// Parameter positions of a part message: id 10 has no leading parameter.
struct PartLayout {
    int name;
    int partText;
    int data;
    unsigned long count;  // parameters the layout needs
};
PartLayout PartLayoutOf(unsigned long id);

// One transfer: parts of the same id, name and total belong together.
struct TransferKey {
    unsigned long id;
    std::string name;
    int total;
    bool operator<(const TransferKey& other) const;
    bool operator==(const TransferKey& other) const;
};

// What a received part message says. data points into the message's own
// buffer and is valid while the message lives.
struct PartView {
    TransferKey key;
    int part;
    const char* data;
    std::size_t dataLength;
};

enum class PartFault { kNone, kMissingParameters, kBadPartText, kPieceTooLong };

// Reads a part message of id 8 or 10; *view is filled only for kNone.
PartFault ReadPart(const NetMessage& message, PartView* view);

// Bytes a queued message holds in its parameters.
std::size_t MessageBytes(const NetMessage& message);

// The account of the parts queue: how many entries and bytes it holds and
// which part numbers each transfer has there. Kept in step by the
// unpackaging, the only code that changes the queue while the client runs;
// Rebuild brings it back in step when the queue was changed behind its back
// (emptied by Close(true)).
class PartsLedger {
public:
    void Add(const TransferKey& key, int part, std::size_t bytes);
    // Removes one entry; key is null for an entry that is not a readable part.
    void Remove(const TransferKey* key, int part, std::size_t bytes);
    bool Has(const TransferKey& key, int part) const;
    // Number of distinct part numbers of the transfer in the queue.
    std::size_t Received(const TransferKey& key) const;
    void Rebuild(CMessageQueue& queue);

    std::size_t Entries() const { return m_entries; }
    std::size_t Bytes() const { return m_bytes; }

private:
    // part number -> entries holding it
    std::map<TransferKey, std::map<int, int>> m_transfers;
    std::size_t m_entries = 0;
    std::size_t m_bytes = 0;
};

// Removes the entries at the given ascending indices from the array of the
// queue, keeping the order of the others, in time linear in the queue's size.
void EraseEntries(CMessageQueue& queue, const std::vector<int>& ascending);

}  // namespace transport

#endif
