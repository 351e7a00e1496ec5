#ifndef TRANSPORT_TOOLS_TESTS_CHILD_PROCESS_H
#define TRANSPORT_TOOLS_TESTS_CHILD_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace toolstest {

// A program run by a test, its standard output and error captured. The
// destructor kills it if it still runs, so a failing test leaves nothing behind.
class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return m_pid > 0; }

    // Waits until a line of standard output contains text; the line goes to
    // *line. False on time-out or when the program ended first.
    bool WaitForLine(const std::string& text, std::chrono::milliseconds timeout,
                     std::string* line = nullptr);
    // Output read so far (WaitForLine and Wait read it).
    const std::string& Out() const { return m_out; }
    const std::string& Err() const { return m_err; }

    void Signal(int number);
    // Waits for the end (reading all output) and returns the exit code; on
    // time-out kills the program and returns -1.
    int Wait(std::chrono::milliseconds timeout);

private:
    // Reads what is available, waiting at most timeout; false at end of both streams.
    bool Pump(std::chrono::milliseconds timeout);

    pid_t m_pid = -1;
    int m_outFd = -1;
    int m_errFd = -1;
    std::string m_out;
    std::string m_err;
    std::size_t m_scanned = 0;  // output already searched line by line
    int m_exitCode = -1;
    bool m_ended = false;
};

// The reference server on an ephemeral loopback port, with extra options.
class ServerProcess : public ChildProcess {
public:
    explicit ServerProcess(const std::vector<std::string>& options = {});
    std::uint16_t Port() const { return m_port; }

private:
    std::uint16_t m_port = 0;
};

struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Runs a program to its end (at most timeout).
RunResult Run(const std::string& program, const std::vector<std::string>& args,
              std::chrono::milliseconds timeout = std::chrono::seconds(30));

// A loopback port on which nothing listens (connects are refused).
std::uint16_t ClosedPort();

// A loopback TCP connection for tests that speak the protocol by hand.
class RawClient {
public:
    explicit RawClient(std::uint16_t port);
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool Connected() const { return m_fd >= 0; }
    bool Send(const std::string& bytes);
    // Reads until the received text contains text (true) or timeout / close.
    bool ReadUntil(const std::string& text, std::chrono::milliseconds timeout);
    // True when the server closed the connection within timeout.
    bool WaitClosed(std::chrono::milliseconds timeout);
    const std::string& Received() const { return m_received; }

private:
    int m_fd = -1;
    std::string m_received;
};

}  // namespace toolstest

#endif
