#ifndef TRANSPORT_TESTS_SUPPORT_SUBPROCESS_H
#define TRANSPORT_TESTS_SUPPORT_SUBPROCESS_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

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

// Runs argv[0] (looked up in PATH), its output discarded; true when it exits with 0.
bool RunProgram(const std::vector<std::string>& argv);

// A program running while the object lives, its output discarded; the
// destructor ends it (SIGTERM, then SIGKILL) and reaps it.
class BackgroundProcess {
public:
    BackgroundProcess() = default;
    ~BackgroundProcess() { Stop(); }
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    // Starts argv and waits (up to 10 s) until address:port accepts a connection.
    bool Start(const std::vector<std::string>& argv, const std::string& address, std::uint16_t port);
    void Stop();

private:
    int pid_ = -1;
};

}  // namespace test
}  // namespace transport

#endif
