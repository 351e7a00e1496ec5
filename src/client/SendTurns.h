#ifndef TRANSPORT_CLIENT_SEND_TURNS_H
#define TRANSPORT_CLIENT_SEND_TURNS_H

#include <atomic>
#include <mutex>

namespace transport {

// Who runs the send step: one thread at a time, and a thread that asks while
// another runs it does not wait. It leaves its request behind, and the
// running thread, before it lets go, runs the step again for it. So the
// network-event thread that takes an answer never blocks behind a write of
// another thread (which would stop it reading), and the line goes on with
// whichever thread found it free.
class SendTurns {
public:
    // What a request asks of the next round; a round gets all that were
    // asked since the last one.
    enum Request : unsigned {
        kWork = 1,      // something may be waiting to go out
        kAnswered = 2,  // an answer came
    };
    enum class Ran {
        kHere,       // this thread ran the rounds asked for
        kElsewhere,  // another thread held the turn: it runs them
        kNested,     // asked from inside this thread's own round or write
    };

    // Asks for a round, then runs rounds while requests come in. With wait,
    // the thread waits for its turn; without, it leaves the round to the
    // thread that holds it. round(requests) runs with the turn held.
    template <class Round>
    Ran Run(unsigned request, bool wait, Round&& round) {
        m_requests.fetch_or(request);
        if (Inside()) return Ran::kNested;
        bool first = true;
        for (;;) {
            if (first && wait) {
                m_mutex.lock();
            } else if (!m_mutex.try_lock()) {
                return first ? Ran::kElsewhere : Ran::kHere;
            }
            first = false;
            {
                Busy busy;
                round(m_requests.exchange(0));
            }
            m_mutex.unlock();
            // A request left while this thread held the turn is seen here, or
            // its thread saw the turn free: never neither. Both sides change
            // m_requests (a read-modify-write reads the latest value, and the
            // later one synchronizes with the earlier), so one of the two
            // comes after the other's whole step.
            if (m_requests.fetch_or(0) == 0) return Ran::kHere;
        }
    }

    // A new transmission began: an answer asked for before it is not its answer.
    void DropAnswered() { m_requests.fetch_and(~static_cast<unsigned>(kAnswered)); }

    // Marks the calling thread as busy sending (a round, or a write outside
    // one): a request it makes meanwhile is nested.
    class Busy {
    public:
        Busy() { ++Depth(); }
        ~Busy() { --Depth(); }
        Busy(const Busy&) = delete;
        Busy& operator=(const Busy&) = delete;
    };

private:
    static int& Depth() {
        static thread_local int depth = 0;
        return depth;
    }
    static bool Inside() { return Depth() > 0; }

    std::mutex m_mutex;
    std::atomic<unsigned> m_requests{0};
};

}  // namespace transport

#endif
