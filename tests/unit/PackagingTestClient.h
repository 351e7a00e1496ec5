#ifndef TRANSPORT_TESTS_UNIT_PACKAGING_TEST_CLIENT_H
#define TRANSPORT_TESTS_UNIT_PACKAGING_TEST_CLIENT_H

// A client that is never opened, with its packaging members in reach, over a
// platform that records trace lines and semaphore releases; and a handler
// that keeps a copy of every package it is given.

#include <transport/NetClient.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/ClientInternals.h"
#include "client/MessageQueue.h"

namespace packaging_test {

class RecordingPlatform : public transport::PlatformWrapper {
public:
    RecordingPlatform() : PlatformWrapper(transport::DefaultPlatform()) {}

    void Trace(const char* text, bool) override {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.emplace_back(text);
    }
    bool ReleaseSemaphore(transport::Handle semaphore, long count, long* previous) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            releases_ += count;
        }
        return PlatformWrapper::ReleaseSemaphore(semaphore, count, previous);
    }

    long Releases() {
        std::lock_guard<std::mutex> lock(mutex_);
        return releases_;
    }
    // Lines that begin with the given text.
    int CountStarting(const std::string& prefix) {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<int>(std::count_if(
            lines_.begin(), lines_.end(),
            [&](const std::string& l) { return l.compare(0, prefix.size(), prefix) == 0; }));
    }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
    long releases_ = 0;
};

struct TestClient : CNetClient {
    using CNetClient::CNetClient;
    using CNetClient::m_hSendEvents;
    using CNetClient::m_hSendSemaphore;
    using CNetClient::m_pInternals;
    using CNetClient::m_pOutputQueue;
    using CNetClient::m_pPartsQueue;
    using CNetClient::PackageAndSetToOutputQueue;
    using CNetClient::UnPackageAndSetToInputQueue;
};

// Copies of the packages the handler received, in order.
struct Recorder {
    static std::vector<std::unique_ptr<NetPackage>>& Packages() {
        static std::vector<std::unique_ptr<NetPackage>> packages;
        return packages;
    }
    static bool Handler(NetPackage* package) {
        Packages().emplace_back(static_cast<NetPackage*>(package->Clone()));
        return true;
    }
};

// Parameter k as raw bytes, its whole length.
inline std::string Param(const NetMessage& message, int k) {
    void* data = nullptr;
    unsigned long length = 0;
    if (!message.GetParams().GetAt(k, &data, &length) || data == nullptr) return std::string();
    return std::string(static_cast<const char*>(data), length);
}

// Parameter k up to its zero byte.
inline std::string Text(const NetMessage& message, int k) {
    const std::string bytes = Param(message, k);
    return bytes.substr(0, bytes.find('\0'));
}

inline void AddBytes(NetMessage& message, const std::string& bytes) {
    message.GetParams().AddTail(bytes.data(), static_cast<unsigned long>(bytes.size()));
}

inline void AddText(NetMessage& message, const std::string& text) {
    message.GetParams().AddTail(text.c_str(), static_cast<unsigned long>(text.size() + 1));
}

inline NetMessage MakeMessage(unsigned long id, int priority,
                              const std::vector<std::string>& texts) {
    NetMessage message;
    message.SetId(id);
    message.SetPriority(priority);
    for (const std::string& text : texts) AddText(message, text);
    return message;
}

// Takes every message off the output queue, in sending order.
inline std::vector<std::unique_ptr<NetMessage>> DrainOutput(CMessageQueue& queue) {
    std::vector<std::unique_ptr<NetMessage>> out;
    while (NetMessage* front = queue.PeekByPriority()) {
        out.emplace_back(static_cast<NetMessage*>(front->Clone()));
        queue.PopByPriority(front->GetPriority());
    }
    return out;
}

// Bytes with every value and some structure, so that shifted or reordered
// pieces do not decode to the same object.
inline std::string Object(std::size_t length) {
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<char>((i * 131 + i / 256) & 0xFF);
    }
    return bytes;
}

}  // namespace packaging_test

#endif
