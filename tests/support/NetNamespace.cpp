#include "support/NetNamespace.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

namespace transport {
namespace test {

namespace {

const char kPrefix[] = "transport-ns-";

// Deletes namespaces of this kind whose process is gone.
void DeleteLeftovers() {
    const CommandResult list = RunCommand({"ip", "netns", "list"});
    if (!list.ok()) return;
    std::istringstream lines(list.output);
    std::string line;
    while (std::getline(lines, line)) {
        const std::string name = line.substr(0, line.find(' '));
        if (name.compare(0, sizeof(kPrefix) - 1, kPrefix) != 0) continue;
        const long pid = std::strtol(name.c_str() + sizeof(kPrefix) - 1, nullptr, 10);
        if (pid <= 0 || pid == static_cast<long>(::getpid())) continue;
        if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) {
            RunCommand({"ip", "netns", "delete", name});
        }
    }
}

}  // namespace

NetNamespace::NetNamespace() {
    static std::atomic<int> counter{0};
    m_name = kPrefix + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    if (FindProgram("ip").empty()) {
        m_error = "the ip program (iproute2) is not installed";
        return;
    }
    DeleteLeftovers();
    const CommandResult made = RunCommand({"ip", "netns", "add", m_name});
    if (!made.ok()) {
        m_error = "`ip netns add` failed (root or CAP_SYS_ADMIN is needed): " + made.output;
        return;
    }
    m_ok = true;
    // Nothing in it is up yet, the loopback interface included.
}

NetNamespace::~NetNamespace() {
    if (m_ok) RunCommand({"ip", "netns", "delete", m_name});
}

CommandResult NetNamespace::Ip(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {"ip", "-n", m_name};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunCommand(argv);
}

bool NetNamespace::RunInside(const std::function<void()>& fn, std::string* why) const {
    const std::string path = "/var/run/netns/" + m_name;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (why != nullptr) *why = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    // A thread may change its own network namespace; the rest of the
    // process stays where it is, and the thread ends with the call.
    bool entered = false;
    std::string error;
    std::thread inside([&] {
        if (::setns(fd, CLONE_NEWNET) != 0) {
            error = std::string("setns failed: ") + std::strerror(errno);
            return;
        }
        entered = true;
        fn();
    });
    inside.join();
    ::close(fd);
    if (!entered && why != nullptr) *why = error;
    return entered;
}

}  // namespace test
}  // namespace transport
