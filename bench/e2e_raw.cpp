#include "e2e_raw.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

namespace bench {

std::string FillerFrame(std::size_t length) {
    // "<g44>20<p>" + text + "</p></g44>" = 20 characters around the text.
    const std::size_t text = length > 20 ? length - 20 : 0;
    return "<g44>20<p>" + std::string(text, 'm') + "</p></g44>";
}

namespace {

int ConnectLoopback(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const std::string& frame) {
    std::size_t done = 0;
    while (done < frame.size()) {
        const ssize_t n = send(fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Reads one 20-byte answer frame, complete at its closer.
bool ReadReply(int fd) {
    char reply[4096];
    std::size_t got = 0;
    while (got < 6 || std::memcmp(reply + got - 6, "</g44>", 6) != 0) {
        const ssize_t n = recv(fd, reply + got, sizeof(reply) - got, 0);
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

std::int64_t Now() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::vector<std::int64_t> ProbeRoundTrips(std::uint16_t port, const std::string& frame,
                                          std::size_t count) {
    const int fd = ConnectLoopback(port);
    if (fd < 0) return {};
    const int wake = eventfd(0, 0);
    std::vector<std::int64_t> stamps;
    stamps.reserve(count + 1);
    bool failed = false;
    std::thread receiver([&] {
        for (std::size_t i = 0; i < count; ++i) {
            if (!ReadReply(fd)) {
                failed = true;
                break;
            }
            stamps.push_back(Now());
            const std::uint64_t one = 1;
            if (write(wake, &one, sizeof(one)) != sizeof(one)) break;
        }
    });
    stamps.push_back(Now());
    for (std::size_t i = 0; i < count; ++i) {
        if (!SendAll(fd, frame)) break;
        std::uint64_t value = 0;
        if (read(wake, &value, sizeof(value)) != sizeof(value)) break;
    }
    receiver.join();
    close(wake);
    close(fd);
    if (failed) return {};
    std::vector<std::int64_t> gaps;
    for (std::size_t i = 1; i < stamps.size(); ++i) gaps.push_back(stamps[i] - stamps[i - 1]);
    return gaps;
}

std::vector<std::int64_t> RawRoundTrips(std::uint16_t port, const std::string& frame,
                                        std::size_t count) {
    std::vector<std::int64_t> times;
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return times;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        close(fd);
        return times;
    }
    times.reserve(count);
    char reply[4096];
    for (std::size_t i = 0; i < count; ++i) {
        const auto start = std::chrono::steady_clock::now();
        std::size_t done = 0;
        while (done < frame.size()) {
            const ssize_t n = send(fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
            if (n <= 0) {
                close(fd);
                return {};
            }
            done += static_cast<std::size_t>(n);
        }
        // The answer is one 20-byte frame; it is complete at its closer.
        std::size_t got = 0;
        while (got < 6 || std::memcmp(reply + got - 6, "</g44>", 6) != 0) {
            const ssize_t n = recv(fd, reply + got, sizeof(reply) - got, 0);
            if (n <= 0) {
                close(fd);
                return {};
            }
            got += static_cast<std::size_t>(n);
        }
        times.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count());
    }
    close(fd);
    return times;
}

}  // namespace bench
