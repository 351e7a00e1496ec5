#include "message/PartsLedger.h"

#include <transport/NetMessage.h>

#include <cstring>
#include <tuple>

#include "message/MessageQueue.h"

namespace transport {
namespace {

// Each side of a part text has 1 to 9 digits, so it always fits an int.
bool ReadCount(const char* text, std::size_t length, int* value) {
    if (length == 0 || length > 9) return false;
    int result = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        result = result * 10 + (text[i] - '0');
    }
    *value = result;
    return true;
}

bool IsBase64Char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

}  // namespace

std::size_t ParamTextLength(const void* data, unsigned long length) {
    if (data == nullptr) return 0;
    const void* zero = std::memchr(data, 0, length);
    return zero != nullptr ? static_cast<std::size_t>(static_cast<const char*>(zero) -
                                                      static_cast<const char*>(data))
                           : length;
}

std::string ParamText(const NetMessage& message, int k) {
    void* data = nullptr;
    unsigned long length = 0;
    if (k < 0 || static_cast<unsigned long>(k) >= message.GetParams().GetCount() ||
        !message.GetParams().GetAt(k, &data, &length)) {
        return std::string();
    }
    return std::string(static_cast<const char*>(data), ParamTextLength(data, length));
}

void AddText(NetParamList& params, std::string_view text) {
    const std::string terminated(text);
    params.AddTail(terminated.c_str(), static_cast<unsigned long>(terminated.size() + 1));
}

bool ParsePartText(const char* text, std::size_t length, int* part, int* total) {
    if (text == nullptr) return false;
    std::size_t slash = length;
    for (std::size_t i = length; i > 0; --i) {
        if (text[i - 1] == '/') {
            slash = i - 1;
            break;
        }
    }
    if (slash == length) return false;
    int i = 0;
    int n = 0;
    if (!ReadCount(text, slash, &i) || !ReadCount(text + slash + 1, length - slash - 1, &n)) {
        return false;
    }
    if (i < 1 || i > n) return false;
    *part = i;
    *total = n;
    return true;
}

bool IsBase64Text(const char* text, std::size_t length) {
    std::size_t end = length;
    std::size_t pads = 0;
    while (end > 0 && text[end - 1] == '=') {
        --end;
        ++pads;
    }
    if (pads > 2 || (pads > 0 && length % 4 != 0) || end % 4 == 1) return false;
    for (std::size_t i = 0; i < end; ++i) {
        if (!IsBase64Char(text[i])) return false;
    }
    return true;
}

PartLayout PartLayoutOf(unsigned long id) {
    if (id == 10) return PartLayout{0, 1, 2, 3};
    return PartLayout{1, 2, 3, 4};
}

bool TransferKey::operator<(const TransferKey& other) const {
    return std::tie(id, total, name) < std::tie(other.id, other.total, other.name);
}

bool TransferKey::operator==(const TransferKey& other) const {
    return id == other.id && total == other.total && name == other.name;
}

PartFault ReadPart(const NetMessage& message, PartView* view) {
    const NetParamList& params = message.GetParams();
    const PartLayout layout = PartLayoutOf(message.GetId());
    if (params.GetCount() < layout.count) return PartFault::kMissingParameters;

    void* partText = nullptr;
    unsigned long partTextLength = 0;
    params.GetAt(layout.partText, &partText, &partTextLength);
    int part = 0;
    int total = 0;
    if (!ParsePartText(static_cast<const char*>(partText),
                       ParamTextLength(partText, partTextLength), &part, &total)) {
        return PartFault::kBadPartText;
    }

    void* data = nullptr;
    unsigned long dataLength = 0;
    params.GetAt(layout.data, &data, &dataLength);
    const std::size_t pieceLength = ParamTextLength(data, dataLength);
    if (pieceLength > kMaxPieceLength) return PartFault::kPieceTooLong;

    view->key = TransferKey{message.GetId(), ParamText(message, layout.name), total};
    view->part = part;
    view->data = data != nullptr ? static_cast<const char*>(data) : "";
    view->dataLength = pieceLength;
    return PartFault::kNone;
}

std::size_t MessageBytes(const NetMessage& message) {
    const NetParamList& params = message.GetParams();
    std::size_t bytes = 0;
    for (NetParam* node = params.GetHead(); node != nullptr; node = params.GetNext(node)) {
        void* data = nullptr;
        unsigned long length = 0;
        params.GetData(node, &data, &length);
        bytes += length;
    }
    return bytes;
}

void PartsLedger::Add(const TransferKey& key, int part, std::size_t bytes) {
    ++m_transfers[key][part];
    ++m_entries;
    m_bytes += bytes;
}

void PartsLedger::Remove(const TransferKey* key, int part, std::size_t bytes) {
    if (m_entries > 0) --m_entries;
    m_bytes -= bytes < m_bytes ? bytes : m_bytes;
    if (key == nullptr) return;
    const auto transfer = m_transfers.find(*key);
    if (transfer == m_transfers.end()) return;
    const auto entry = transfer->second.find(part);
    if (entry == transfer->second.end()) return;
    if (--entry->second == 0) transfer->second.erase(entry);
    if (transfer->second.empty()) m_transfers.erase(transfer);
}

bool PartsLedger::Has(const TransferKey& key, int part) const {
    const auto transfer = m_transfers.find(key);
    return transfer != m_transfers.end() && transfer->second.count(part) != 0;
}

std::size_t PartsLedger::Received(const TransferKey& key) const {
    const auto transfer = m_transfers.find(key);
    return transfer != m_transfers.end() ? transfer->second.size() : 0;
}

void PartsLedger::Rebuild(CMessageQueue& queue) {
    m_transfers.clear();
    m_entries = 0;
    m_bytes = 0;
    const int count = queue.GetItemCount();
    for (int i = 0; i < count; ++i) {
        const NetMessage* message = queue.ItemAt(i);
        if (message == nullptr) continue;
        PartView view;
        if (ReadPart(*message, &view) == PartFault::kNone) {
            Add(view.key, view.part, MessageBytes(*message));
        } else {
            ++m_entries;
            m_bytes += MessageBytes(*message);
        }
    }
}

void EraseEntries(CMessageQueue& queue, const std::vector<int>& ascending) {
    const std::size_t count = static_cast<std::size_t>(queue.GetItemCount());
    const std::size_t erased = ascending.size();
    if (erased == 0) return;
    if (erased >= count) {
        queue.ClearItems();
        return;
    }
    // Erasing from the back moves each kept entry behind an erased one once
    // per erased entry before it; that is cheap when the erased entries are
    // mostly at the end (the usual case: a transfer's parts are the newest).
    std::size_t moves = 0;
    for (std::size_t j = 0; j < erased; ++j) {
        const std::size_t index = static_cast<std::size_t>(ascending[j]);
        moves += (count - 1 - index) - (erased - 1 - j);
    }
    if (moves <= count) {
        for (std::size_t j = erased; j > 0; --j) queue.EraseAt(ascending[j - 1]);
        return;
    }
    // Otherwise keep copies of the other entries and refill the queue with them.
    std::vector<NetMessage*> kept;
    kept.reserve(count - erased);
    std::size_t next = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (next < erased && static_cast<std::size_t>(ascending[next]) == i) {
            ++next;
            continue;
        }
        const NetMessage* message = queue.ItemAt(static_cast<int>(i));
        if (message != nullptr) kept.push_back(static_cast<NetMessage*>(message->Clone()));
    }
    queue.ClearItems();
    for (NetMessage* message : kept) queue.PushBack(message);
}

}  // namespace transport
