#ifndef TRANSPORT_CLIENT_H
#define TRANSPORT_CLIENT_H

// transport::Client: the library's C++ face. It stands beside CNetClient and
// is a thin layer over it: the same wire, threads and rules (one message in
// flight, by priority, each kept until the server answers it), told through
// one std::function handler with typed events, connection events included.
//
//   transport::Client client({{"127.0.0.1"}}, [](const transport::Event& e) {
//       if (e.kind == transport::Event::Kind::kMessage) { /* e.message, e.Param(0) */ }
//   });
//   client.LogIn("user", "password");
//   client.Send(5, {"hello"});
//   client.Flush(std::chrono::seconds(10));   // until the server has answered

#include <chrono>
#include <cstddef>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <transport/NetClient.h>

namespace transport {

// How a connection reaches the server: straight to its port, through an HTTP
// proxy's CONNECT tunnel on port 80, or as HTTP POST requests.
enum class Way { kDirect = 0, kTunnel = 1, kHttp = 2 };

// What a client tells its handler. The event and everything it points to
// live only for the call: copy what you keep.
struct TRANSPORT_API Event {
    enum class Kind {
        kMessage,       // a message from the server: message (the log-in's answer, id 1, once)
        kDelivered,     // the server took the message sent: message
        kRefused,       // the server refused the message sent (error 7): message
        kProgress,      // part of total parts of a transfer have arrived
        kError,         // another error: code (11 gave up, 13 bad binary data, or the server's)
        kDropped,       // a queued message dropped for room under the queue's bound: message
        kResolving,     // looking up host
        kConnecting,    // to host:port by way
        kConnected,     // the socket is up; the log-in goes first
        kLoggedIn,      // the server accepted the log-in (again, after a reconnection)
        kDisconnected,  // the attempt failed or the line dropped: code says why (10061 refused,
                        // 10054 reset, 10060 time-out, or the bearer's status)
        kGaveUp,        // the reconnection limit was reached; new work or LogIn tries again
        kTlsFailed,     // TLS did not come up on host: code says which check (kErrTls...),
                        // text why; the walk goes on as after a failed connect
    };
    Kind kind = Kind::kError;
    const NetMessage* message = nullptr;
    int code = 0;
    int part = 0, total = 0;
    std::string_view host;
    unsigned port = 0;
    Way way = Way::kDirect;

    // Parameter `index` of message as bytes, its counted zero byte left out
    // (binary data arrives with one added); empty when there is none.
    std::string_view Param(unsigned long index) const;
    bool IsConnection() const { return kind >= Kind::kResolving && kind <= Kind::kGaveUp; }
    std::string_view text;
};
TRANSPORT_API const char* ToString(Event::Kind kind);

// Why Send did not queue a message.
enum class SendResult { kQueued, kBadPriority, kFrameTag, kNoMemory, kQueueFull, kClosed };
TRANSPORT_API const char* ToString(SendResult result);

struct Options {
    // One to four host entries, tried in order: names or dotted addresses.
    // The first and third hold up to 255 characters, the second and fourth 15.
    std::vector<std::string> hosts;
    // Passes over the hosts before kGaveUp; 0 gives up after one pass.
    unsigned reconnectLimit = 5;
    // The pause after a pass over the hosts.
    std::chrono::milliseconds reconnectDelay{1000};
    // An idle line gets a keep-alive after this long (at least a second).
    std::chrono::milliseconds keepAlive{60000};
    // The output queue's bound: messages (up to 65,536) and bytes (0: none).
    std::size_t maxQueued = 65536;
    std::size_t maxQueuedBytes = 0;
    // When full: false refuses new messages (kQueueFull), true drops the
    // oldest of the lowest priority, each told as kDropped.
    bool dropOldest = false;
    // TLS on every way to the server, the server's certificate verified
    // (chain and name) against the system's CAs unless tlsSettings names others.
    bool tls = false;
    TlsSettings tlsSettings;
    // The operating system's services; null: the default. Must outlive the client.
    Platform* platform = nullptr;
};

// The log-in's values besides the user name and password, as the server
// expects them (sent as given).
struct LoginValues {
    std::string param3;
    unsigned param4 = 0;
    std::string param5, param6;
};

class TRANSPORT_API Client {
public:
    // Runs on the client's worker threads (kDropped: on the thread that
    // called Send), never under the client's locks, except a disconnection
    // found by a write, which comes on the writing thread (it can be inside
    // Send) with the send lock held; it must not destroy or Close the client,
    // and must not throw.
    using Handler = std::function<void(const Event&)>;

    // Opens the client: its threads start, and it connects once LogIn is
    // called. Throws std::invalid_argument for options it cannot take (no
    // host, more than four, an entry longer than its field) and
    // std::runtime_error when the client cannot be opened.
    Client(const Options& options, Handler handler);
    // Closes, as Close(false).
    ~Client();
    Client(Client&& other) noexcept;
    Client& operator=(Client&& other) noexcept;
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Stores the log-in (sent first on every connection) and connects.
    bool LogIn(std::string_view user, std::string_view password, const LoginValues& values = {});

    // A message of texts, each sent with its zero byte.
    SendResult Send(unsigned long id, std::initializer_list<std::string_view> texts,
                    int priority = 2);
    // Binary data (ids 300 to 399) as Base64 in one frame, texts after it.
    SendResult SendBinary(unsigned long id, std::string_view bytes,
                          std::initializer_list<std::string_view> texts = {}, int priority = 2);
    // An object (id 10) in numbered parts under a name.
    SendResult SendObject(std::string_view name, std::string_view bytes, int priority = 2);
    // Any message, as built by the application (copied).
    SendResult Send(const NetMessage& message);

    // Waits until the server has answered every queued message, or the time
    // has passed; returns how many are still queued.
    std::size_t Flush(std::chrono::milliseconds timeout);
    // Messages queued, waiting to be sent or answered.
    std::size_t Pending() const;

    // Says goodbye to the server when logged in and stops the threads; with
    // dropQueued the queue is emptied, otherwise it stays unsent. Idempotent.
    void Close(bool dropQueued = false);

    // The classic client underneath, for what this face does not offer.
    CNetClient& Classic();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace transport

#endif
