#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace toolstest {

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::vector<char*> argv = {const_cast<char*>(program.c_str())};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
        m_pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    m_fd = out[0];
}

ChildProcess::~ChildProcess() {
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    if (m_fd >= 0) close(m_fd);
}

bool ChildProcess::Read(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd item{m_fd, POLLIN, 0};
    if (m_fd < 0 || left.count() <= 0) return false;
    if (poll(&item, 1, static_cast<int>(left.count())) <= 0) return true;
    char buffer[4096];
    const ssize_t got = read(m_fd, buffer, sizeof buffer);
    if (got > 0) {
        m_output.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
        close(m_fd);
        m_fd = -1;
    }
    return m_fd >= 0;
}

bool ChildProcess::WaitFor(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const std::size_t at = m_output.find(text);
        if (at != std::string::npos && m_output.find('\n', at) != std::string::npos) return true;
        if (!Read(deadline)) return false;
    }
}

int ChildProcess::Wait(std::chrono::milliseconds timeout, int signal) {
    if (m_pid <= 0) return -1;
    if (signal != 0) kill(m_pid, signal);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Read(deadline)) {
    }
    if (m_fd >= 0) kill(m_pid, SIGKILL);  // still running at the deadline
    int status = 0;
    waitpid(m_pid, &status, 0);
    m_pid = -1;
    if (m_fd >= 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace toolstest
