#include "support/ScriptedPeer.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <transport/NetFrame.h>

#include "StreamCutter.h"
#include "support/LoopbackPeer.h"

namespace transport {
namespace test {
namespace {

const std::string kHangUpMark = "\x01hang up\x01";
// Input without a complete piece that the cutter keeps: more than any test sends.
constexpr std::size_t kInputLimit = 32u << 20;

ScriptedPeer::Frame Parse(std::size_t connection, const std::string& text, bool viaHttp) {
    ScriptedPeer::Frame frame{connection, -1, {}, text, viaHttp};
    NetMessage message;
    if (!ParseFrame(message, text.c_str())) return frame;
    frame.id = static_cast<long>(message.GetId());
    for (unsigned long i = 0; i < message.GetParams().GetCount(); ++i) {
        void* data = nullptr;
        unsigned long length = 0;
        message.GetParams().GetAt(static_cast<int>(i), &data, &length);
        const char* chars = static_cast<const char*>(data);
        frame.params.emplace_back(chars, chars != nullptr ? strnlen(chars, length) : 0);
    }
    return frame;
}

}  // namespace

std::string ScriptedPeer::Usual(const Frame& frame) {
    switch (frame.id) {
        case 0: return std::string();
        case 1: return "<g44>1<p>1</p><p>pm</p></g44>";  // "ok", transformed
        case 12: return "<g44>12<p>Keep-Alive</p></g44>";
        default: return "<g44>7<p>1</p></g44>";
    }
}

std::string ScriptedPeer::Echo(const Frame& frame, bool id8) {
    if (frame.id == 0 || frame.id == 1 || frame.id == 12) return Usual(frame);
    if (id8 && frame.id == 10) {
        return Usual(frame) + "<g44>8<p>4</p>" + frame.text.substr(frame.text.find("<p>"));
    }
    return Usual(frame) + frame.text;
}

std::string ScriptedPeer::HangUp(const std::string& bytes) { return kHangUpMark + bytes; }

ScriptedPeer::ScriptedPeer(std::string address, std::uint16_t port)
    : address_(std::move(address)), port_(port) {
    listener_ = BindLoopback(address_, &port_);
    if (listener_ < 0) {
        std::fprintf(stderr, "cannot listen on %s:%u\n", address_.c_str(), port_);
        std::abort();
    }
    Listen();
}

ScriptedPeer::~ScriptedPeer() {
    Kill();
    for (std::thread& server : servers_) server.join();
    close(listener_);
}

void ScriptedPeer::Listen() {
    listen(listener_, 64);
    acceptor_ = std::thread(&ScriptedPeer::AcceptLoop, this, listener_);
}

void ScriptedPeer::Kill() {
    if (acceptor_.joinable()) {
        shutdown(listener_, SHUT_RDWR);  // wakes the accept
        acceptor_.join();
        close(listener_);
        listener_ = BindLoopback(address_, &port_);  // bound, not listening: refuses
    }
    DropAll();
}

void ScriptedPeer::Revive() {
    if (acceptor_.joinable()) return;
    close(listener_);
    listener_ = BindLoopback(address_, &port_);
    Listen();
}

void ScriptedPeer::AcceptLoop(int listener) {
    for (;;) {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0 && errno == EINTR) continue;
        if (fd < 0) return;
        std::lock_guard<std::mutex> lock(mutex_);
        connections_.push_back(Connection{fd, std::string(), false, onAccept_ == OnAccept::kServe});
        if (onAccept_ == OnAccept::kServe) {
            servers_.emplace_back(&ScriptedPeer::Serve, this, connections_.size() - 1);
        } else if (onAccept_ == OnAccept::kHangUp) {
            close(fd);
            connections_.back().closed = true;
        } else {
            const int small = 4096;  // a writer soon finds the line full
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
        }
    }
}

void ScriptedPeer::Serve(std::size_t index) {
    int fd;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        fd = connections_[index].fd;
    }
    refserver::StreamCutter cutter(kInputLimit);
    std::vector<char> buffer(1u << 16);
    for (;;) {
        const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        std::size_t take = static_cast<std::size_t>(n);
        bool cut = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (cutAfter_ >= 0) {
                cut = cutAfter_ <= n;
                take = cut ? static_cast<std::size_t>(cutAfter_) : take;
                cutAfter_ = cut ? -1 : cutAfter_ - n;
            }
            connections_[index].received.append(buffer.data(), take);
        }
        if (cut) break;
        cutter.Append(buffer.data(), take);
        for (refserver::StreamUnit unit = cutter.Next(); unit.kind != refserver::StreamUnit::kNeedMore;
             unit = cutter.Next()) {
            if (unit.kind == refserver::StreamUnit::kTunnel) {
                std::lock_guard<std::mutex> lock(mutex_);
                unit.text = tunnelReply_;
            } else if (unit.kind != refserver::StreamUnit::kFrame &&
                       unit.kind != refserver::StreamUnit::kHttpRequest) {
                return Close(index);  // overflow or a request no server takes
            }
            const bool http = unit.kind == refserver::StreamUnit::kHttpRequest;
            std::vector<std::string> texts;
            if (unit.kind == refserver::StreamUnit::kFrame) texts.push_back(unit.text);
            if (http) texts = refserver::StreamCutter::FramesOf(unit.text);
            std::string answer = unit.kind == refserver::StreamUnit::kTunnel ? unit.text : "";
            bool hangUp = false;
            for (const std::string& text : texts) {
                Rule rule;
                const Frame frame = Parse(index, text, http);
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    frames_.push_back(frame);
                    rule = rule_;
                }
                std::string part = rule(frame);
                if (part.compare(0, kHangUpMark.size(), kHangUpMark) == 0) {
                    hangUp = true;
                    part.erase(0, kHangUpMark.size());
                }
                answer += part;
                if (hangUp) break;
            }
            if (http && !hangUp) {
                answer = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(answer.size()) +
                         "\r\n\r\n" + answer;
            }
            Write(index, answer, true);
            if (hangUp) return Close(index);
        }
    }
    Close(index);
}

void ScriptedPeer::Write(std::size_t index, const std::string& bytes, bool answer) {
    if (bytes.empty()) return;
    std::lock_guard<std::mutex> writing(writeMutex_);
    std::size_t step;
    bool paced;
    int times;
    int fd;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (answer && hold_) return void(held_.emplace_back(index, bytes));
        paced = chunk_ > 0;
        step = paced ? chunk_ : bytes.size();
        times = answer && duplicate_ ? 2 : 1;
        fd = connections_[index].closed ? -1 : connections_[index].fd;
    }
    for (int t = 0; t < times && fd >= 0; ++t) {
        for (std::size_t at = 0; at < bytes.size(); at += step) {
            if (paced) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const std::size_t length = std::min(step, bytes.size() - at);
            if (send(fd, bytes.data() + at, length, MSG_NOSIGNAL) != static_cast<ssize_t>(length)) {
                return;
            }
        }
    }
}

void ScriptedPeer::Close(std::size_t index) {
    std::lock_guard<std::mutex> writing(writeMutex_);
    std::lock_guard<std::mutex> lock(mutex_);
    if (connections_[index].closed) return;
    connections_[index].closed = true;
    close(connections_[index].fd);
}

void ScriptedPeer::DropAll() {
    std::vector<std::size_t> unserved;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::size_t i = 0; i < connections_.size(); ++i) {
            if (connections_[i].closed) continue;
            shutdown(connections_[i].fd, SHUT_RDWR);  // wakes its reader and any writer
            if (!connections_[i].served) unserved.push_back(i);
        }
    }
    for (std::size_t i : unserved) Close(i);
}

bool ScriptedPeer::Push(const std::string& bytes) {
    std::size_t index;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        index = connections_.size();
        while (index > 0 && connections_[index - 1].closed) --index;
        if (index-- == 0) return false;
    }
    Write(index, bytes, false);
    return true;
}

void ScriptedPeer::Hold(bool hold) {
    std::vector<std::pair<std::size_t, std::string>> held;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        hold_ = hold;
        held.swap(held_);
    }
    for (const auto& [index, bytes] : held) Write(index, bytes, true);
}

void ScriptedPeer::SetRule(Rule rule) {
    std::lock_guard<std::mutex> lock(mutex_);
    rule_ = std::move(rule);
}

void ScriptedPeer::SetOnAccept(OnAccept what) {
    std::lock_guard<std::mutex> lock(mutex_);
    onAccept_ = what;
}

void ScriptedPeer::SetTunnelReply(std::string reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    tunnelReply_ = std::move(reply);
}

void ScriptedPeer::SetChunk(std::size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    chunk_ = bytes;
}

void ScriptedPeer::SetDuplicate(bool twice) {
    std::lock_guard<std::mutex> lock(mutex_);
    duplicate_ = twice;
}

void ScriptedPeer::CutAfter(std::size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    cutAfter_ = static_cast<long>(bytes);
}

std::vector<ScriptedPeer::Frame> ScriptedPeer::Frames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

std::vector<long> ScriptedPeer::Ids(std::size_t connection) const {
    std::vector<long> ids;
    for (const Frame& f : Frames()) {
        if (f.connection == connection && f.id != 12) ids.push_back(f.id);
    }
    return ids;
}

std::string ScriptedPeer::Received(std::size_t connection) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connection < connections_.size() ? connections_[connection].received : std::string();
}

std::size_t ScriptedPeer::Connections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connections_.size();
}

bool ScriptedPeer::Closed(std::size_t connection) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connection < connections_.size() && connections_[connection].closed;
}

}  // namespace test
}  // namespace transport
