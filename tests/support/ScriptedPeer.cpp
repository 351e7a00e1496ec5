#include "support/ScriptedPeer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <transport/NetFrame.h>

#include "StreamCutter.h"
#include "message/PartsLedger.h"

namespace transport {
namespace test {
namespace {

using refserver::StreamUnit;
const std::string kHangUpMark = "\x01hang up\x01";
constexpr std::size_t kInputLimit = 32u << 20;  // more than any test sends without a frame

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
    const std::size_t params = frame.text.find("<p>");
    if (id8 && frame.id == 10) return Usual(frame) + "<g44>8<p>4</p>" + frame.text.substr(params);
    return Usual(frame) + frame.text;
}

std::string ScriptedPeer::HangUp(const std::string& bytes) { return kHangUpMark + bytes; }

ScriptedPeer::ScriptedPeer(std::string address, std::uint16_t port)
    : address_(std::move(address)), port_(port), listener_(BindLoopback(address_, &port_)) {
    if (listener_ == kNoPeer) {
        std::fprintf(stderr, "cannot bind %s:%u\n", address_.c_str(), port_);
        std::abort();
    }
    SetListening(true);
}

ScriptedPeer::~ScriptedPeer() {
    SetListening(false);
    for (std::thread& server : servers_) server.join();
    close(listener_);
}

void ScriptedPeer::SetListening(bool listening) {
    if (listening == acceptor_.joinable()) return;
    if (listening) {
        listen(listener_, 64);
        acceptor_ = std::thread(&ScriptedPeer::AcceptLoop, this);
        return;
    }
#ifdef _WIN32
    close(std::exchange(listener_, kNoPeer));  // Winsock wakes an accept by the close alone
#else
    shutdown(listener_, SHUT_RDWR);  // wakes the accept
#endif
    acceptor_.join();
    close(listener_);
    listener_ = BindLoopback(address_, &port_);  // bound again, not listening: refuses
    DropAll();
}

void ScriptedPeer::AcceptLoop() {
    const PeerSocket listener = listener_;
    for (PeerSocket fd; (fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) != kNoPeer || errno == EINTR;) {
        if (fd == kNoPeer) continue;
        const OnAccept what = onAccept_;
        const int buffer = 4096;  // a writer soon finds an ignored line full
        if (what == OnAccept::kIgnore) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&buffer), sizeof buffer);
        if (what == OnAccept::kHangUp) close(fd);
        std::lock_guard<std::mutex> lock(mutex_);
        connections_.push_back(Connection{fd, "", what == OnAccept::kHangUp, what == OnAccept::kServe});
        if (what == OnAccept::kServe) servers_.emplace_back(&ScriptedPeer::Serve, this, connections_.size() - 1);
    }
}

void ScriptedPeer::Serve(std::size_t index) {
    const PeerSocket fd = Locked([&] { return connections_[index].fd; });
    refserver::StreamCutter cutter(kInputLimit);
    std::vector<char> buffer(1u << 16);
    for (ssize_t n; (n = recv(fd, buffer.data(), buffer.size(), 0)) > 0 || (n < 0 && errno == EINTR);) {
        bool cut = false;
        const std::size_t take = Locked([&] {
            if (connections_[index].dropped) return cut = true, std::size_t{0};
            long keep = std::max<long>(n, 0);
            if (cutAfter_ >= 0 && (cut = cutAfter_ <= keep)) keep = cutAfter_;
            cutAfter_ = cut || cutAfter_ < 0 ? -1 : cutAfter_ - keep;
            connections_[index].received.append(buffer.data(), static_cast<std::size_t>(keep));
            return static_cast<std::size_t>(keep);
        });
        if (cut) break;
        cutter.Append(buffer.data(), take);
        for (StreamUnit unit = cutter.Next(); unit.kind != StreamUnit::kNeedMore; unit = cutter.Next()) {
            bool hangUp = unit.kind == StreamUnit::kOverflow || unit.kind == StreamUnit::kBadRequest;
            std::string out;
            if (unit.kind == StreamUnit::kTunnel) out = Locked([&] { return tunnelReply_; });
            if (unit.kind == StreamUnit::kFrame) out = Answer(index, unit.text, &hangUp);
            if (unit.kind == StreamUnit::kHttpRequest) {
                for (const std::string& text : refserver::StreamCutter::FramesOf(unit.text)) {
                    if (!hangUp) out += Answer(index, text, &hangUp);
                }
                if (!hangUp) out = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(out.size()) + "\r\n\r\n" + out;
            }
            Write(index, out, true);
            if (hangUp) return Close(index);
        }
    }
    Close(index);
}

std::string ScriptedPeer::Answer(std::size_t index, const std::string& text, bool* hangUp) {
    Frame frame{index, -1, {}, text};
    NetMessage message;
    if (ParseFrame(message, text.c_str())) frame.id = static_cast<long>(message.GetId());
    for (int i = 0; i < static_cast<int>(message.GetParams().GetCount()); ++i) {
        frame.params.push_back(ParamText(message, i));
    }
    const Rule rule = Locked([&] {
        frames_.push_back(frame);
        return rule_;
    });
    std::string out = rule(frame);
    *hangUp = out.compare(0, kHangUpMark.size(), kHangUpMark) == 0;
    return *hangUp ? out.substr(kHangUpMark.size()) : out;
}

void ScriptedPeer::Write(std::size_t index, const std::string& bytes, bool answer) {
    std::lock_guard<std::mutex> writing(writeMutex_);
    const PeerSocket fd = Locked([&] { return connections_[index].closed ? kNoPeer : connections_[index].fd; });
    const std::size_t step = chunk_ > 0 ? chunk_.load() : std::max<std::size_t>(bytes.size(), 1);
    for (int copies = answer && duplicate_ ? 2 : 1; fd != kNoPeer && copies > 0; --copies) {
        for (std::size_t at = 0; at < bytes.size(); at += step) {
            if (step < bytes.size()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            send(fd, bytes.data() + at, std::min(step, bytes.size() - at), MSG_NOSIGNAL);
        }
    }
}

void ScriptedPeer::Close(std::size_t index) {
    std::lock_guard<std::mutex> writing(writeMutex_);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!connections_[index].closed) close(connections_[index].fd);
    connections_[index].closed = true;
}

void ScriptedPeer::DropAll() {
    std::vector<std::size_t> unserved;
    Locked([&] {
        for (std::size_t i = 0; i < connections_.size(); ++i) {
            if (connections_[i].closed) continue;
            // Wakes its reader and any writer; Winsock's reader reads on, and drops what it gets.
            shutdown(connections_[i].fd, SHUT_RDWR);
            connections_[i].dropped = true;
            if (!connections_[i].served) unserved.push_back(i);
        }
    });
    for (std::size_t i : unserved) Close(i);
}

bool ScriptedPeer::Push(const std::string& bytes) {
    std::size_t index = Locked([&] {
        std::size_t i = connections_.size();
        while (i > 0 && connections_[i - 1].closed) --i;
        return i;
    });
    if (index-- == 0) return false;
    Write(index, bytes, false);
    return true;
}

std::vector<long> ScriptedPeer::Ids(std::size_t connection) const {
    std::vector<long> ids;
    for (const Frame& f : Frames()) {
        if (f.connection == connection && f.id != 12) ids.push_back(f.id);
    }
    return ids;
}

std::string ScriptedPeer::Received(std::size_t connection) const {
    return Locked([&] { return connection < connections_.size() ? connections_[connection].received : ""; });
}

bool ScriptedPeer::Closed(std::size_t connection) const {
    return Locked([&] { return connection < connections_.size() && connections_[connection].closed; });
}

}  // namespace test
}  // namespace transport
