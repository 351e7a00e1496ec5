#ifndef TRANSPORT_TESTS_SUPPORT_SUBPROCESS_H
#define TRANSPORT_TESTS_SUPPORT_SUBPROCESS_H

#include <string>
#include <vector>

namespace transport {
namespace test {

// What a finished command did: its exit status (-1 when it could not be
// started or did not exit normally) and its standard output and error.
struct CommandResult {
    int status = -1;
    std::string output;
    bool ok() const { return status == 0; }
};

// Runs argv[0] (looked up in PATH) with the arguments and waits for it.
// Standard input is /dev/null.
CommandResult RunCommand(const std::vector<std::string>& argv);

// The full path of a program found in PATH, or empty.
std::string FindProgram(const std::string& name);

// A program running in the background while the object lives; its output is
// discarded. Stop (or the destructor) ends it with SIGTERM and reaps it.
class BackgroundProcess {
public:
    BackgroundProcess() = default;
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;

    bool Start(const std::vector<std::string>& argv);
    // True while the process has not exited.
    bool Running();
    void Stop();

private:
    int m_pid = -1;
};

}  // namespace test
}  // namespace transport

#endif
