#ifndef TRANSPORT_TESTS_SUPPORT_HTTP_TEST_SERVERS_H
#define TRANSPORT_TESTS_SUPPORT_HTTP_TEST_SERVERS_H

// HTTP servers for the Internet probe tests, on fixed ports (80) of loopback
// addresses: a real server from the system's packages, a small one of our
// own that records what it is sent, and an address where nobody listens.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/Subprocess.h"

namespace transport {
namespace test {

// Whether a TCP socket can be bound to address:port (port 80 needs root);
// *why says what failed.
bool CanListenOn(const std::string& address, std::uint16_t port, std::string* why);

// busybox httpd serving the files of a folder on address:port.
class BusyboxHttpd {
public:
    BusyboxHttpd() = default;
    ~BusyboxHttpd() { Stop(); }
    BusyboxHttpd(const BusyboxHttpd&) = delete;
    BusyboxHttpd& operator=(const BusyboxHttpd&) = delete;

    // Starts the server and waits until it accepts connections; false with
    // *why when busybox is missing or the server does not come up.
    bool Start(const std::string& address, std::uint16_t port, const std::string& root,
               std::string* why);
    void Stop() { m_process.Stop(); }

private:
    BackgroundProcess m_process;
};

// A one-connection-at-a-time HTTP server that records the head of every
// request (request line and header lines, up to the blank line) and answers
// with a fixed response, then closes. An empty response closes without an
// answer. Thread-safe.
class RecordingHttpServer {
public:
    RecordingHttpServer(const std::string& address, std::uint16_t port);
    ~RecordingHttpServer();
    RecordingHttpServer(const RecordingHttpServer&) = delete;
    RecordingHttpServer& operator=(const RecordingHttpServer&) = delete;

    bool ok() const { return m_listenFd >= 0; }
    const std::string& error() const { return m_error; }

    void SetResponse(const std::string& response);
    std::vector<std::string> Requests() const;
    // What arrived after a request's head before the answer (a body).
    std::vector<std::string> Bodies() const;

private:
    void Run();
    void Serve(int fd);

    int m_listenFd = -1;
    int m_wakeFds[2] = {-1, -1};
    std::string m_error;
    std::thread m_thread;

    mutable std::mutex m_mutex;
    bool m_stop = false;
    std::string m_response;
    std::vector<std::string> m_requests;
    std::vector<std::string> m_bodies;
};

// address:port bound but not listening: nobody else can serve there, and
// connections to it are refused.
class RefusingPort {
public:
    RefusingPort(const std::string& address, std::uint16_t port);
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    bool ok() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

}  // namespace test
}  // namespace transport

#endif
