#ifndef TRANSPORT_TESTS_SUPPORT_TINY_PROXY_H
#define TRANSPORT_TESTS_SUPPORT_TINY_PROXY_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace transport {
namespace test {

// A real HTTP proxy (the tinyproxy program) run as a child process for the
// tunnel tests, from the configuration template shipped beside this file
// (tinyproxy.conf.in). The child runs in the foreground and is stopped by the
// destructor; its configuration and log live in a directory of their own,
// removed with it.
class TinyProxy {
public:
    struct Options {
        std::string address;  // loopback address to listen on
        std::uint16_t port = 80;
        std::vector<std::uint16_t> connectPorts{800};  // ports a CONNECT may reach
        std::string basicAuth;  // "user password" to demand credentials; empty: none
    };

    // Starts the proxy and waits (up to 10 s) until it accepts connections.
    explicit TinyProxy(const Options& options);
    ~TinyProxy();
    TinyProxy(const TinyProxy&) = delete;
    TinyProxy& operator=(const TinyProxy&) = delete;

    bool Running() const { return m_running; }
    // Why it is not running ("" when it is).
    const std::string& Error() const { return m_error; }
    // What the proxy has logged so far.
    std::string Log() const;

    // Whether the program is installed (found on PATH).
    static bool Installed();
    // Whether this process may listen on address:port (ports below 1024 need
    // privileges) and nothing else holds it.
    static bool CanListen(const char* address, std::uint16_t port);

private:
    void Stop();

    pid_t m_pid = -1;
    bool m_running = false;
    std::string m_error;
    std::string m_dir;
    std::string m_logPath;
};

}  // namespace test
}  // namespace transport

#endif
