#ifndef TRANSPORT_TOOLS_TESTS_CHILD_PROCESS_H
#define TRANSPORT_TOOLS_TESTS_CHILD_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace toolstest {

// A program run by a test, its standard output and error captured together.
// The destructor kills it if it still runs, so a failing test leaves nothing behind.
class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Reads until a whole line of output holds text; false on time-out or at the end.
    bool WaitFor(const std::string& text, std::chrono::milliseconds timeout);
    // Sends signal (0: none), reads to the end and returns the exit code; on
    // time-out kills the program and returns -1.
    int Wait(std::chrono::milliseconds timeout, int signal = 0);
    const std::string& Output() const { return m_output; }

private:
    bool Read(std::chrono::steady_clock::time_point deadline);  // false at the end

    pid_t m_pid = -1;
    int m_fd = -1;
    std::string m_output;
};

}  // namespace toolstest

#endif
