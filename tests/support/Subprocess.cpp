#include "support/Subprocess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

extern char** environ;

namespace transport {
namespace test {
namespace {

int Spawn(const std::vector<std::string>& argv) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    const int error = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : -1;
}

// The exit status, -1 when it did not exit normally, -2 while it runs (WNOHANG).
int Reap(int pid, int options) {
    int status = 0;
    pid_t done;
    while ((done = waitpid(pid, &status, options)) < 0 && errno == EINTR) {
    }
    if (done != pid) return done == 0 ? -2 : -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool Accepts(const std::string& address, std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &in.sin_addr);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&in), sizeof in) == 0;
    close(fd);
    return ok;
}

}  // namespace

bool RunProgram(const std::vector<std::string>& argv) {
    const int pid = Spawn(argv);
    return pid > 0 && Reap(pid, 0) == 0;
}

bool BackgroundProcess::Start(const std::vector<std::string>& argv, const std::string& address,
                              std::uint16_t port) {
    Stop();
    pid_ = Spawn(argv);
    for (int i = 0; pid_ > 0 && i < 1000; ++i) {
        if (Accepts(address, port)) return true;
        if (Reap(pid_, WNOHANG) != -2) pid_ = -1;  // ended already
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Stop();
    return false;
}

void BackgroundProcess::Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int state = -2;
    for (int i = 0; i < 300 && (state = Reap(pid_, WNOHANG)) == -2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (state == -2 && kill(pid_, SIGKILL) == 0) Reap(pid_, 0);
    pid_ = -1;
}

}  // namespace test
}  // namespace transport
