#ifndef TRANSPORT_MESSAGE_MESSAGE_QUEUE_H
#define TRANSPORT_MESSAGE_MESSAGE_QUEUE_H

#include <atomic>
#include <deque>
#include <mutex>
#include <vector>

class NetMessage;

// A locked queue of owned messages, in one of two storages: four FIFO lists by
// priority (1 served first), or one array in arrival order. Removing a message
// destroys it. Every operation but GetItemCount takes the queue's own lock for
// its whole duration; no other lock is ever taken under it.
//
// Peeked messages stay owned by the queue. A caller that uses a peeked message
// while another thread may clear the queue holds Lock() around the use and
// calls only the *Locked operations meanwhile (the lock is not recursive).
class CMessageQueue {
public:
    CMessageQueue();
    CMessageQueue(const CMessageQueue&) = delete;
    CMessageQueue& operator=(const CMessageQueue&) = delete;
    virtual ~CMessageQueue();  // destroys what is still stored (the owner normally clears first)

    void Lock();
    void Unlock();
    std::mutex& Mutex() { return m_mutex; }

    int GetItemCount() const;

    // Priority lists. A message whose priority is outside 1..4 is destroyed
    // and not counted; PushByPriority then returns false.
    bool PushByPriority(NetMessage* message);
    NetMessage* PeekByPriority();
    void PopByPriority(int priority);
    void ClearPriorityLists();

    // Array in arrival order.
    void PushBack(NetMessage* message);
    NetMessage* PeekFirst();
    NetMessage* ItemAt(int index);  // null when index is out of range
    void PopFirst();
    void EraseAt(int index);  // nothing when index is out of range
    void ClearItems();

    // Variants for a caller that holds Lock().
    NetMessage* PeekByPriorityLocked() const;
    NetMessage* PeekFrontLocked(int priority) const;  // front of one list, or null
    // These unlink without destroying: the caller destroys what they return
    // once it has released the lock, so that no application code (an
    // attachment's destructor) runs under it.
    NetMessage* UnlinkFrontLocked(int priority);  // null when the list is empty
    std::vector<NetMessage*> UnlinkAllLocked();    // priority 4 first, each list from its front
    // The oldest message of the lowest priority that is not `except`, or null.
    NetMessage* UnlinkOldestLocked(const NetMessage* except);

private:
    // Deques rather than lists and vectors: no allocation per message, and
    // removing the oldest (the common case in both storages) costs O(1).
    std::mutex m_mutex;
    std::deque<NetMessage*> m_lists[4];
    std::deque<NetMessage*> m_items;
    std::atomic<int> m_nItemCount;
};

#endif
