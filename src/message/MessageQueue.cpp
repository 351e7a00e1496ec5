#include "message/MessageQueue.h"

#include <transport/NetMessage.h>

namespace {

// Priorities 1 (served first) to 4 (served last); list k holds priority k + 1.
constexpr int kPriorityCount = 4;

bool ValidPriority(int priority) { return priority >= 1 && priority <= kPriorityCount; }

}  // namespace

CMessageQueue::CMessageQueue() : m_nItemCount(0) {}

CMessageQueue::~CMessageQueue() {
    // The owner clears the queue first; anything still stored would otherwise
    // leak, since no one else holds it.
    for (NetMessage* message : UnlinkAllLocked()) delete message;
    for (NetMessage* message : m_items) delete message;
    m_items.clear();
    m_nItemCount = 0;
}

void CMessageQueue::Lock() { m_mutex.lock(); }

void CMessageQueue::Unlock() { m_mutex.unlock(); }

int CMessageQueue::GetItemCount() const { return m_nItemCount.load(); }

bool CMessageQueue::PushByPriority(NetMessage* message) {
    if (message == nullptr) return false;
    // The message is the caller's to hand over, so its priority is read unlocked.
    const int priority = message->GetPriority();
    if (!ValidPriority(priority)) {
        delete message;
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lists[priority - 1].push_back(message);
    ++m_nItemCount;
    return true;
}

NetMessage* CMessageQueue::PeekByPriority() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return PeekByPriorityLocked();
}

NetMessage* CMessageQueue::PeekByPriorityLocked() const {
    for (const auto& list : m_lists) {
        if (!list.empty()) return list.front();
    }
    return nullptr;
}

NetMessage* CMessageQueue::PeekFrontLocked(int priority) const {
    if (!ValidPriority(priority) || m_lists[priority - 1].empty()) return nullptr;
    return m_lists[priority - 1].front();
}

void CMessageQueue::PopByPriority(int priority) {
    NetMessage* removed = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!ValidPriority(priority) || m_lists[priority - 1].empty()) return;
        removed = m_lists[priority - 1].front();
        m_lists[priority - 1].pop_front();
        --m_nItemCount;
    }
    // Destroyed outside the lock: an attachment's destructor is application code.
    delete removed;
}

NetMessage* CMessageQueue::UnlinkFrontLocked(int priority) {
    if (!ValidPriority(priority) || m_lists[priority - 1].empty()) return nullptr;
    NetMessage* removed = m_lists[priority - 1].front();
    m_lists[priority - 1].pop_front();
    --m_nItemCount;
    return removed;
}

void CMessageQueue::ClearPriorityLists() {
    std::deque<NetMessage*> taken[kPriorityCount];
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (int k = 0; k < kPriorityCount; ++k) {
            m_nItemCount -= static_cast<int>(m_lists[k].size());
            taken[k].swap(m_lists[k]);
        }
    }
    // Priority 4 first, priority 1 last, each list from its front.
    for (int k = kPriorityCount - 1; k >= 0; --k) {
        for (NetMessage* message : taken[k]) delete message;
    }
}

NetMessage* CMessageQueue::UnlinkOldestLocked(const NetMessage* except) {
    for (int k = kPriorityCount - 1; k >= 0; --k) {
        for (auto it = m_lists[k].begin(); it != m_lists[k].end(); ++it) {
            if (*it == except) continue;
            NetMessage* removed = *it;
            m_lists[k].erase(it);
            --m_nItemCount;
            return removed;
        }
    }
    return nullptr;
}

std::vector<NetMessage*> CMessageQueue::UnlinkAllLocked() {
    std::vector<NetMessage*> removed;
    for (int k = kPriorityCount - 1; k >= 0; --k) {
        removed.insert(removed.end(), m_lists[k].begin(), m_lists[k].end());
        m_nItemCount -= static_cast<int>(m_lists[k].size());
        m_lists[k].clear();
    }
    return removed;
}

void CMessageQueue::PushBack(NetMessage* message) {
    if (message == nullptr) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_items.push_back(message);
    ++m_nItemCount;
}

NetMessage* CMessageQueue::PeekFirst() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_items.empty() ? nullptr : m_items.front();
}

NetMessage* CMessageQueue::ItemAt(int index) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (index < 0 || static_cast<std::size_t>(index) >= m_items.size()) return nullptr;
    return m_items[static_cast<std::size_t>(index)];
}

void CMessageQueue::PopFirst() { EraseAt(0); }

void CMessageQueue::EraseAt(int index) {
    NetMessage* removed = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (index < 0 || static_cast<std::size_t>(index) >= m_items.size()) return;
        const auto at = m_items.begin() + index;
        removed = *at;
        if (index == 0) {
            m_items.pop_front();  // the receive path's case: cheaper than erase
        } else {
            m_items.erase(at);
        }
        --m_nItemCount;
    }
    delete removed;
}

void CMessageQueue::ClearItems() {
    std::deque<NetMessage*> taken;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_nItemCount -= static_cast<int>(m_items.size());
        taken.swap(m_items);
    }
    for (NetMessage* message : taken) delete message;
}
