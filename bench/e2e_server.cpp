// A single-threaded epoll loop: one buffer per connection, frames cut at
// their closer, one write of all the answers of one read.

#include "e2e_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

namespace bench {
namespace {

const std::string kLoginAnswer = "<g44>1<p>x</p><p>y</p></g44>";
const std::string kKeepAliveAnswer = "<g44>12<p>Keep-Alive</p></g44>";
const std::string kResultAnswer = "<g44>7<p>1</p></g44>";

std::string AnswerFor(const std::string& buffer, std::size_t open) {
    const long id = std::strtol(buffer.c_str() + open + 5, nullptr, 10);
    if (id == 1) return kLoginAnswer;
    if (id == 12) return kKeepAliveAnswer;
    return kResultAnswer;
}

// Appends the answers of every complete frame in buffer and drops them.
// from: where new bytes begin (less a closer's length), so that a frame
// arriving in pieces is not searched again from its start.
void CutAndAnswer(std::string& buffer, std::size_t from, std::string* answers) {
    std::size_t consumed = 0;
    for (std::size_t scan = from;;) {
        const std::size_t close = buffer.find("</g44>", scan);
        if (close == std::string::npos) break;
        const std::size_t open = buffer.rfind("<g44>", close);
        if (open != std::string::npos && open >= consumed) *answers += AnswerFor(buffer, open);
        consumed = close + 6;
        scan = consumed;
    }
    buffer.erase(0, consumed);
}

bool WriteAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The client reads everything it is sent; a full buffer drains soon.
            usleep(50);
        } else {
            return false;
        }
    }
    return true;
}

[[noreturn]] void Serve(int listenFd) {
    const int epoll = epoll_create1(0);
    epoll_event listenEvent{};
    listenEvent.events = EPOLLIN;
    listenEvent.data.fd = listenFd;
    epoll_ctl(epoll, EPOLL_CTL_ADD, listenFd, &listenEvent);

    std::unordered_map<int, std::string> buffers;
    epoll_event events[256];
    char chunk[65536];
    for (;;) {
        const int ready = epoll_wait(epoll, events, 256, -1);
        if (ready < 0 && errno != EINTR) _exit(1);
        for (int i = 0; i < ready; ++i) {
            const int fd = events[i].data.fd;
            if (fd == listenFd) {
                for (;;) {
                    const int conn = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK);
                    if (conn < 0) break;
                    const int one = 1;
                    setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
                    epoll_event connEvent{};
                    connEvent.events = EPOLLIN;
                    connEvent.data.fd = conn;
                    epoll_ctl(epoll, EPOLL_CTL_ADD, conn, &connEvent);
                    buffers[conn].clear();
                }
                continue;
            }
            const ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            if (n <= 0) {
                epoll_ctl(epoll, EPOLL_CTL_DEL, fd, nullptr);
                close(fd);
                buffers.erase(fd);
                continue;
            }
            std::string& buffer = buffers[fd];
            const std::size_t from = buffer.size() > 5 ? buffer.size() - 5 : 0;
            buffer.append(chunk, static_cast<std::size_t>(n));
            std::string answers;
            CutAndAnswer(buffer, from, &answers);
            if (!answers.empty() && !WriteAll(fd, answers)) {
                epoll_ctl(epoll, EPOLL_CTL_DEL, fd, nullptr);
                close(fd);
                buffers.erase(fd);
            }
        }
    }
}

}  // namespace

bool StartServer(ServerProcess* server) {
    const int listenFd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (listenFd < 0) return false;
    const int one = 1;
    setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof(address);
    if (bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listenFd, 4096) != 0 ||
        getsockname(listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(listenFd);
        return false;
    }
    server->port = ntohs(address.sin_port);
    server->pid = fork();
    if (server->pid < 0) {
        close(listenFd);
        return false;
    }
    if (server->pid == 0) {
        // Never outlive the benchmark, however it ends.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        Serve(listenFd);
    }
    close(listenFd);
    return true;
}

void StopServer(ServerProcess* server) {
    if (server->pid <= 0) return;
    kill(server->pid, SIGTERM);
    waitpid(server->pid, nullptr, 0);
    server->pid = -1;
}

}  // namespace bench
