#include "support/TinyProxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace transport {
namespace test {

namespace {

using Clock = std::chrono::steady_clock;

const char kProgram[] = "tinyproxy";

// The template lies beside this source file.
std::string TemplatePath() {
    std::string here = __FILE__;
    std::size_t slash = here.find_last_of('/');
    return (slash == std::string::npos ? std::string(".") : here.substr(0, slash)) +
           "/tinyproxy.conf.in";
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void Replace(std::string& text, const std::string& field, const std::string& value) {
    for (std::size_t at = text.find(field); at != std::string::npos;
         at = text.find(field, at + value.size())) {
        text.replace(at, field.size(), value);
    }
}

bool ToAddress(const char* address, std::uint16_t port, sockaddr_in* out) {
    *out = sockaddr_in{};
    out->sin_family = AF_INET;
    out->sin_port = htons(port);
    return ::inet_pton(AF_INET, address, &out->sin_addr) == 1;
}

bool Accepts(const std::string& address, std::uint16_t port) {
    sockaddr_in addr;
    if (!ToAddress(address.c_str(), port, &addr)) return false;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

bool TinyProxy::Installed() {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/sbin:/usr/bin:/sbin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        if (!dir.empty() && ::access((dir + "/" + kProgram).c_str(), X_OK) == 0) return true;
    }
    return false;
}

bool TinyProxy::CanListen(const char* address, std::uint16_t port) {
    sockaddr_in addr;
    if (!ToAddress(address, port, &addr)) return false;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
              ::listen(fd, 1) == 0;
    ::close(fd);
    return ok;
}

TinyProxy::TinyProxy(const Options& options) {
    std::string config = ReadFile(TemplatePath());
    if (config.empty()) {
        m_error = "cannot read " + TemplatePath();
        return;
    }
    std::string ports;
    for (std::uint16_t port : options.connectPorts) ports += "ConnectPort " + std::to_string(port) + "\n";
    Replace(config, "@ADDRESS@", options.address);
    Replace(config, "@PORT@", std::to_string(options.port));
    Replace(config, "@CONNECT_PORTS@", ports);
    Replace(config, "@BASIC_AUTH@", options.basicAuth.empty() ? "" : "BasicAuth " + options.basicAuth);

    char dir[] = "/tmp/transport-tinyproxy-XXXXXX";
    if (::mkdtemp(dir) == nullptr) {
        m_error = std::string("mkdtemp: ") + std::strerror(errno);
        return;
    }
    m_dir = dir;
    const std::string configPath = m_dir + "/tinyproxy.conf";
    m_logPath = m_dir + "/tinyproxy.log";
    std::ofstream(configPath, std::ios::binary) << config;

    // Spawned, not forked: the test process has threads of its own.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, m_logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::string program = kProgram;
    std::string foreground = "-d";
    std::string configFlag = "-c";
    std::string configArg = configPath;
    char* argv[] = {&program[0], &foreground[0], &configFlag[0], &configArg[0], nullptr};
    const int spawned = ::posix_spawnp(&m_pid, kProgram, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        m_pid = -1;
        m_error = std::string("cannot start tinyproxy: ") + std::strerror(spawned);
        return;
    }

    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            m_error = "tinyproxy ended at start-up; its log:\n" + Log();
            return;
        }
        if (Accepts(options.address, options.port)) {
            m_running = true;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    m_error = "tinyproxy did not listen within 10 s; its log:\n" + Log();
}

TinyProxy::~TinyProxy() {
    Stop();
    if (!m_dir.empty()) {
        std::remove((m_dir + "/tinyproxy.conf").c_str());
        std::remove(m_logPath.c_str());
        ::rmdir(m_dir.c_str());
    }
}

std::string TinyProxy::Log() const { return m_logPath.empty() ? std::string() : ReadFile(m_logPath); }

void TinyProxy::Stop() {
    if (m_pid <= 0) return;
    ::kill(m_pid, SIGTERM);
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(3);
    int status = 0;
    while (::waitpid(m_pid, &status, WNOHANG) == 0) {
        if (Clock::now() >= deadline) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    m_pid = -1;
    m_running = false;
}

}  // namespace test
}  // namespace transport
