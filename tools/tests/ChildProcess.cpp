#include "ChildProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

extern char** environ;

namespace toolstest {
namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args) {
    int out[2];
    int err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0) {
        m_pid = pid;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    m_outFd = out[0];
    m_errFd = err[0];
}

ChildProcess::~ChildProcess() {
    if (m_pid > 0 && !m_ended) {
        kill(m_pid, SIGKILL);
        int status = 0;
        waitpid(m_pid, &status, 0);
    }
    if (m_outFd >= 0) close(m_outFd);
    if (m_errFd >= 0) close(m_errFd);
}

bool ChildProcess::Pump(std::chrono::milliseconds timeout) {
    pollfd polls[2];
    nfds_t count = 0;
    if (m_outFd >= 0) polls[count++] = {m_outFd, POLLIN, 0};
    if (m_errFd >= 0) polls[count++] = {m_errFd, POLLIN, 0};
    if (count == 0) return false;
    if (poll(polls, count, static_cast<int>(timeout.count())) <= 0) return true;
    for (nfds_t i = 0; i < count; ++i) {
        if (polls[i].revents == 0) continue;
        char buffer[4096];
        const ssize_t got = read(polls[i].fd, buffer, sizeof(buffer));
        std::string& sink = polls[i].fd == m_outFd ? m_out : m_err;
        if (got > 0) {
            sink.append(buffer, static_cast<std::size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            int& fd = polls[i].fd == m_outFd ? m_outFd : m_errFd;
            close(fd);
            fd = -1;
        }
    }
    return m_outFd >= 0 || m_errFd >= 0;
}

bool ChildProcess::WaitForLine(const std::string& text, std::chrono::milliseconds timeout,
                               std::string* line) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        std::size_t end;
        while ((end = m_out.find('\n', m_scanned)) != std::string::npos) {
            const std::string candidate = m_out.substr(m_scanned, end - m_scanned);
            m_scanned = end + 1;
            if (candidate.find(text) != std::string::npos) {
                if (line != nullptr) *line = candidate;
                return true;
            }
        }
        if (Clock::now() >= deadline) return false;
        if (!Pump(std::chrono::milliseconds(MillisecondsLeft(deadline)))) return false;
    }
}

void ChildProcess::Signal(int number) {
    if (m_pid > 0 && !m_ended) kill(m_pid, number);
}

int ChildProcess::Wait(std::chrono::milliseconds timeout) {
    if (m_pid <= 0) return -1;
    if (m_ended) return m_exitCode;
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline && Pump(std::chrono::milliseconds(MillisecondsLeft(deadline)))) {
    }
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid) {
            m_ended = true;
            m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return m_exitCode;
        }
        if (Clock::now() >= deadline) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
            m_ended = true;
            return -1;
        }
        usleep(5000);
    }
}

ServerProcess::ServerProcess(const std::vector<std::string>& options)
    : ChildProcess(TRANSPORT_SERVER_PROGRAM, [&options] {
          std::vector<std::string> args = {"--port", "0"};
          args.insert(args.end(), options.begin(), options.end());
          return args;
      }()) {
    std::string line;
    if (WaitForLine("listening on 127.0.0.1:", std::chrono::seconds(10), &line)) {
        m_port = static_cast<std::uint16_t>(std::stoul(line.substr(line.rfind(':') + 1)));
    }
}

RunResult Run(const std::string& program, const std::vector<std::string>& args,
              std::chrono::milliseconds timeout) {
    ChildProcess child(program, args);
    RunResult result;
    result.exitCode = child.Wait(timeout);
    result.out = child.Out();
    result.err = child.Err();
    return result;
}

std::uint16_t ClosedPort() {
    // Bound but never listening: the port stays ours and refuses connects.
    static int holder = -1;
    static std::uint16_t port = 0;
    if (holder < 0) {
        holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        socklen_t length = sizeof(address);
        getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    return port;
}

RawClient::RawClient(std::uint16_t port) {
    m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(m_fd);
        m_fd = -1;
    }
}

RawClient::~RawClient() {
    if (m_fd >= 0) close(m_fd);
}

bool RawClient::Send(const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t count = send(m_fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (count <= 0) return false;
        sent += static_cast<std::size_t>(count);
    }
    return true;
}

bool RawClient::ReadUntil(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (m_received.find(text) == std::string::npos) {
        pollfd item{m_fd, POLLIN, 0};
        if (poll(&item, 1, MillisecondsLeft(deadline)) <= 0) return false;
        char buffer[8192];
        const ssize_t got = recv(m_fd, buffer, sizeof(buffer), 0);
        if (got <= 0) return false;
        m_received.append(buffer, static_cast<std::size_t>(got));
    }
    return true;
}

bool RawClient::WaitClosed(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        pollfd item{m_fd, POLLIN, 0};
        if (poll(&item, 1, MillisecondsLeft(deadline)) <= 0) return false;
        char buffer[8192];
        const ssize_t got = recv(m_fd, buffer, sizeof(buffer), 0);
        if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN)) return true;
        if (got > 0) m_received.append(buffer, static_cast<std::size_t>(got));
    }
}

}  // namespace toolstest
