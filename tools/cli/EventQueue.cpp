#include "EventQueue.h"

#include <atomic>

namespace cli {
namespace {

std::atomic<EventQueue*> g_target{nullptr};

std::shared_ptr<NetMessage> CopyOf(const NetObject* object) {
    const NetMessage* message = dynamic_cast<const NetMessage*>(object);
    if (message == nullptr) return nullptr;
    return std::shared_ptr<NetMessage>(static_cast<NetMessage*>(message->Clone()));
}

}  // namespace

void EventQueue::Push(Event event) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(std::move(event));
    }
    m_arrived.notify_one();
}

bool EventQueue::Pop(Event* event, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_arrived.wait_for(lock, timeout, [this] { return !m_events.empty(); })) return false;
    *event = std::move(m_events.front());
    m_events.pop_front();
    return true;
}

void EventQueue::SetHandlerTarget(EventQueue* queue) { g_target = queue; }

bool EventQueue::OnPackage(NetPackage* package) {
    EventQueue* queue = g_target.load();
    if (queue == nullptr || package == nullptr) return true;
    Event event;
    switch (package->m_nKind) {
        case NetPackage::KIND_MESSAGE:
            event.kind = Event::kMessage;
            event.message = CopyOf(package->m_pBody);
            if (event.message == nullptr) return true;
            break;
        case NetPackage::KIND_INFORMATION: {
            const auto* information = dynamic_cast<const NetInformation*>(package->m_pBody);
            if (information == nullptr) return true;
            event.kind = Event::kInformation;
            event.code = information->m_nCode;
            event.value1 = information->m_nValue1;
            event.value2 = information->m_nValue2;
            event.message = CopyOf(information->m_pMessage);
            break;
        }
        case NetPackage::KIND_ERROR: {
            const auto* error = dynamic_cast<const NetError*>(package->m_pBody);
            if (error == nullptr) return true;
            event.kind = Event::kError;
            event.code = error->m_nCode;
            event.message = CopyOf(error->m_pMessage);
            break;
        }
        default:
            return true;
    }
    queue->Push(std::move(event));
    return true;
}

}  // namespace cli
