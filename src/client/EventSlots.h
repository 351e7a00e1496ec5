#ifndef TRANSPORT_CLIENT_EVENT_SLOTS_H
#define TRANSPORT_CLIENT_EVENT_SLOTS_H

// What each element of the client's event arrays stands for. A wait on an
// array reports the lowest signalled slot, so the order is a priority.
namespace transport {

// m_hMainEvents, waited on by the main thread.
enum MainSlot {
    kSlotConnect = 0,       // connect now (new work after the walk gave up, the walk's next step)
    kSlotCloseRequest = 1,  // not asked for by anyone; reset when seen
    kSlotReconnect = 2,     // a socket failed: take the walk's next step
    kSlotExit = 3,          // Close: leave the loop
    kSlotBearerStatus = 4,  // the bearer's connection handle, or a stand-in event
    kSlotAutoConnect = 5,   // Login: bring the bearer up
    kMainSlots = 6,
};

// m_hNetEvents, waited on by the network-event thread.
enum NetSlot { kSlotSocket = 0, kSlotNetKill = 1 };

// m_hSendEvents: made per run and set by Close, but no longer waited on (the
// thread that takes an answer sends the next request itself); the response
// event's handle tells AnswerInFlight that the client runs.
enum SendSlot { kSlotResponse = 0, kSlotSendKill = 1 };

}  // namespace transport

#endif
