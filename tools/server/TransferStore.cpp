#include "TransferStore.h"

#include <algorithm>

namespace refserver {

TransferStore::Outcome TransferStore::Add(const std::string& owner, const std::string& name,
                                          unsigned long index, unsigned long total,
                                          const std::string& frame) {
    Outcome outcome;
    if (frame.size() > m_maxBytes || index == 0 || index > total) {
        outcome.kind = Outcome::kRefused;
        return outcome;
    }
    // Names and owners may hold any byte but zero; the separator keeps keys apart.
    const std::string key = owner + '\0' + name + '\0' + std::to_string(total);

    // Make room: give up the oldest other transfers first.
    while (m_bytes + frame.size() > m_maxBytes) {
        auto oldest = m_transfers.end();
        for (auto it = m_transfers.begin(); it != m_transfers.end(); ++it) {
            if (it->first == key) continue;
            if (oldest == m_transfers.end() || it->second.started < oldest->second.started) {
                oldest = it;
            }
        }
        if (oldest == m_transfers.end()) break;
        outcome.evicted.push_back(oldest->second.name);
        m_bytes -= oldest->second.bytes;
        m_transfers.erase(oldest);
    }
    auto found = m_transfers.find(key);
    const std::size_t held = found == m_transfers.end() ? 0 : found->second.bytes;
    const std::size_t replaced = (found != m_transfers.end() && found->second.parts.count(index))
                                     ? found->second.parts[index].size()
                                     : 0;
    if (m_bytes - replaced + frame.size() > m_maxBytes) {
        // The transfer alone is larger than the store: give it up.
        if (found != m_transfers.end()) {
            m_bytes -= held;
            m_transfers.erase(found);
        }
        outcome.kind = Outcome::kRefused;
        return outcome;
    }

    if (found == m_transfers.end()) {
        found = m_transfers.emplace(key, Transfer()).first;
        found->second.name = name;
        found->second.started = m_nextStart++;
    }
    Transfer& transfer = found->second;
    std::string& slot = transfer.parts[index];
    m_bytes = m_bytes - slot.size() + frame.size();
    transfer.bytes = transfer.bytes - slot.size() + frame.size();
    slot = frame;
    outcome.received = transfer.parts.size();

    if (index == total) {
        outcome.kind = Outcome::kComplete;
        outcome.frames.reserve(transfer.parts.size());
        for (auto& part : transfer.parts) outcome.frames.push_back(std::move(part.second));
        m_bytes -= transfer.bytes;
        m_transfers.erase(found);
    }
    return outcome;
}

}  // namespace refserver
