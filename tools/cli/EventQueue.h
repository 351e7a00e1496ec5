#ifndef TRANSPORT_TOOLS_CLI_EVENT_QUEUE_H
#define TRANSPORT_TOOLS_CLI_EVENT_QUEUE_H

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include <transport/NetClient.h>

namespace cli {

// What the session learns, in arrival order: the library's packages (copied
// out of the handler, which must return quickly and may keep nothing) and
// the connection notices of the client's platform wrapper.
struct Event {
    enum Kind {
        kMessage,         // a received message: message
        kInformation,     // code, value1, value2, message (may be null)
        kError,           // code, message (may be null)
        kConnecting,      // text: "host:port"
        kConnectFailed,   // text: why
        kConnectionLost,  // text: why
        kTlsEstablished,  // text: protocol and cipher
    };
    Kind kind = kMessage;
    unsigned long code = 0;
    int value1 = 0;
    int value2 = 0;
    std::shared_ptr<NetMessage> message;
    std::string text;
};

class EventQueue {
public:
    void Push(Event event);
    // The oldest event; false when none arrived within timeout.
    bool Pop(Event* event, std::chrono::milliseconds timeout);

    // The handler to install with SetNetHandler; it feeds the queue given to
    // SetHandlerTarget (the handler is a plain function, so the target is global).
    static bool OnPackage(NetPackage* package);
    static void SetHandlerTarget(EventQueue* queue);

private:
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::deque<Event> m_events;
};

}  // namespace cli

#endif
