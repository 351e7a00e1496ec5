#include "support/Subprocess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

extern char** environ;

namespace transport {
namespace test {

using Clock = std::chrono::steady_clock;

Child::Child(const std::vector<std::string>& argv, bool keepOutput) {
    int out[2] = {-1, -1};
    if (keepOutput && pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (keepOutput) {
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    if (keepOutput) close(out[1]);
    fd_ = out[0];
}

Child::~Child() {
    if (pid_ > 0) Wait(3s, SIGTERM);
    if (fd_ >= 0) close(fd_);
}

bool Child::Read(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (fd_ < 0 || left.count() <= 0) return false;
    pollfd item{fd_, POLLIN, 0};
    if (poll(&item, 1, static_cast<int>(left.count())) <= 0) return true;
    char buffer[4096];
    const ssize_t got = read(fd_, buffer, sizeof buffer);
    if (got > 0) {
        output_.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
        close(fd_);
        fd_ = -1;
    }
    return fd_ >= 0;
}

bool Child::WaitFor(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const std::size_t at = output_.find(text);
        if (at != std::string::npos && output_.find('\n', at) != std::string::npos) return true;
        if (!Read(deadline)) return false;
    }
}

std::uint16_t Child::ListeningPort() {
    if (!WaitFor("listening on ")) return 0;
    const std::size_t at = output_.find("listening on ");
    return static_cast<std::uint16_t>(std::atoi(output_.c_str() + output_.find(':', at) + 1));
}

bool Child::Accepts(const std::string& address, std::uint16_t port) {
    for (int i = 0; pid_ > 0 && i < 1000; ++i) {
        if (ConnectsTo(address, port)) return true;
        if (waitpid(pid_, nullptr, WNOHANG) != 0) pid_ = -1;  // ended already
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

int Child::Wait(std::chrono::milliseconds timeout, int signal) {
    if (pid_ <= 0) return -1;
    if (signal != 0) kill(pid_, signal);
    const auto deadline = Clock::now() + timeout;
    int status = 0;
    pid_t ended = 0;
    while ((ended = waitpid(pid_, &status, WNOHANG)) == 0 && Clock::now() < deadline) {
        if (!Read(std::min(deadline, Clock::now() + 10ms))) std::this_thread::sleep_for(10ms);
    }
    if (ended == 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    while (Read(Clock::now() + 100ms)) {  // what it wrote last
    }
    if (ended <= 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace test
}  // namespace transport
