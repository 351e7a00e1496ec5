#ifndef TRANSPORT_TESTS_SUPPORT_SUBPROCESS_H
#define TRANSPORT_TESTS_SUPPORT_SUBPROCESS_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/HostSockets.h"  // BindLoopback, for the tests that run programs

// For a test that needs a real part of the machine (a program, root, a
// network namespace): without it the test is skipped on a developer's
// machine, but fails on CI, which must run every test.
#define REQUIRE_REAL_PART(available, why)                                          \
    do {                                                                           \
        if (!(available)) {                                                        \
            if (std::getenv("CI") != nullptr) FAIL() << "missing on CI: " << why; \
            GTEST_SKIP() << "skipped, missing here: " << why;                      \
        }                                                                          \
    } while (0)

namespace transport {
namespace test {

using namespace std::chrono_literals;

// A program run by a test (argv[0] looked up in PATH), its standard output
// and error kept together, or discarded. The destructor ends it (SIGTERM,
// then SIGKILL) and reaps it, so a failing test leaves nothing behind.
class Child {
public:
    explicit Child(const std::vector<std::string>& argv, bool keepOutput = false);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // Reads until a whole line of output holds text; false on time-out or at the end.
    bool WaitFor(const std::string& text, std::chrono::milliseconds timeout = 10s);
    // The port of its "listening on ADDRESS:PORT" line, once it is out; 0 if it never comes.
    std::uint16_t ListeningPort();
    // Until address:port accepts a connection; false once the program has ended.
    bool Accepts(const std::string& address, std::uint16_t port);
    // Sends signal (0: none), reads to the end and returns the exit code
    // (128 + signal when killed by one); on time-out kills it and returns -1.
    int Wait(std::chrono::milliseconds timeout = 60s, int signal = 0);
    const std::string& Output() const { return output_; }

private:
    bool Read(std::chrono::steady_clock::time_point deadline);  // false at the end

    int pid_ = -1;
    int fd_ = -1;
    std::string output_;
};

// Runs argv to its end; true when it exits with 0.
inline bool RunProgram(const std::vector<std::string>& argv) { return Child(argv).Wait() == 0; }

}  // namespace test
}  // namespace transport

#endif
