#include "FuzzSupport.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fuzz {

void Fail(const char* what) {
    std::fprintf(stderr, "fuzz property broken: %s\n", what);
    std::abort();
}

std::string StoredBytes(const NetMessage& message, int index) {
    void* data = nullptr;
    unsigned long length = 0;
    if (index < 0 || static_cast<unsigned long>(index) >= message.GetParams().GetCount() ||
        !message.GetParams().GetAt(index, &data, &length) || data == nullptr) {
        return std::string();
    }
    return std::string(static_cast<const char*>(data), length);
}

std::string TextOf(const NetMessage& message, int index) {
    const std::string bytes = StoredBytes(message, index);
    return bytes.substr(0, bytes.find('\0'));
}

// ---- FuzzPlatform ----

FuzzPlatform::FuzzPlatform() : PlatformWrapper(transport::DefaultPlatform()) {}

int FuzzPlatform::Receive(transport::SocketHandle, char* buffer, std::uint32_t capacity,
                          std::uint32_t, std::uint32_t* received) {
    *received = 0;
    if (m_chunks.empty()) return 0;
    std::string& chunk = m_chunks.front();
    const std::size_t n = chunk.size() < capacity ? chunk.size() : capacity;
    std::memcpy(buffer, chunk.data(), n);
    *received = static_cast<std::uint32_t>(n);
    // What does not fit comes with the next receive, as from a socket.
    if (n == chunk.size()) {
        m_chunks.pop_front();
    } else {
        chunk.erase(0, n);
    }
    return 0;
}

void FuzzPlatform::Trace(const char* text, bool) {
    Check(text != nullptr, "trace line is null");
    m_lines.emplace_back(text);  // reads to the zero byte
}

std::size_t FuzzPlatform::CountTraced(const std::string& prefix) const {
    std::size_t n = 0;
    for (const std::string& line : m_lines) n += line.compare(0, prefix.size(), prefix) == 0;
    return n;
}

// ---- The handler ----

std::vector<Delivered>& Packages() {
    static std::vector<Delivered> packages;
    return packages;
}

namespace {

// Reads every byte of every parameter and returns them.
std::vector<std::string> WalkParams(const NetMessage& message) {
    std::vector<std::string> out;
    const NetParamList& params = message.GetParams();
    unsigned long counted = 0;
    for (NetParam* node = params.GetHead(); node != nullptr; node = params.GetNext(node)) {
        Check(node->m_nLength == 0 || node->m_pData != nullptr, "parameter without its buffer");
        out.emplace_back(reinterpret_cast<const char*>(node->m_pData), node->m_nLength);
        ++counted;
    }
    Check(counted == params.GetCount(), "parameter count disagrees with the list");
    return out;
}

}  // namespace

bool RecordingHandler(NetPackage* package) {
    Check(package != nullptr, "null package");
    Delivered d;
    d.kind = package->m_nKind;
    switch (package->m_nKind) {
        case NetPackage::KIND_MESSAGE: {
            const auto* message = dynamic_cast<const NetMessage*>(package->m_pBody);
            Check(message != nullptr, "message package without a message body");
            d.id = message->GetId();
            d.params = WalkParams(*message);
            break;
        }
        case NetPackage::KIND_INFORMATION: {
            const auto* info = dynamic_cast<const NetInformation*>(package->m_pBody);
            Check(info != nullptr, "information package without its body");
            d.code = info->m_nCode;
            d.value1 = info->m_nValue1;
            d.value2 = info->m_nValue2;
            if (const auto* named = dynamic_cast<const NetMessage*>(info->m_pMessage)) {
                d.names = true;
                d.params = WalkParams(*named);
            }
            break;
        }
        case NetPackage::KIND_ERROR: {
            const auto* error = dynamic_cast<const NetError*>(package->m_pBody);
            Check(error != nullptr, "error package without its body");
            d.code = error->m_nCode;
            if (const auto* named = dynamic_cast<const NetMessage*>(error->m_pMessage)) {
                d.names = true;
                d.params = WalkParams(*named);
            }
            break;
        }
        default:
            Fail("package of an unknown kind");
    }
    Packages().push_back(std::move(d));
    return true;
}

// ---- FuzzClient ----

FuzzClient::FuzzClient(transport::Platform& platform) : CNetClient(platform) {
    SetNetHandler(&RecordingHandler);
}

FuzzClient::~FuzzClient() {
    // Close would do this for an opened client.
    if (m_hSendSemaphore != nullptr) m_pPlatform->CloseHandle(m_hSendSemaphore);
    m_hSendSemaphore = nullptr;
    for (transport::Handle& event : m_hSendEvents) {
        if (event != nullptr) m_pPlatform->CloseHandle(event);
        event = nullptr;
    }
    m_pInputQueue->ClearItems();
    m_pPartsQueue->ClearItems();
}

void FuzzClient::CreateRunObjects() {
    if (m_hSendSemaphore == nullptr) m_hSendSemaphore = m_pPlatform->CreateSemaphore(0, 65536);
    for (transport::Handle& event : m_hSendEvents) {
        if (event == nullptr) event = m_pPlatform->CreateEvent();
    }
    Check(m_hSendSemaphore != nullptr && m_hSendEvents[0] != nullptr && m_hSendEvents[1] != nullptr,
          "no kernel objects");
}

long FuzzClient::TakeReleases() {
    long n = 0;
    if (m_hSendSemaphore == nullptr) return 0;
    while (m_pPlatform->WaitOne(m_hSendSemaphore, 0) == transport::kWaitObject0) ++n;
    return n;
}

bool FuzzClient::TakeResponse() {
    if (m_hSendEvents[0] == nullptr) return false;
    const bool set = m_pPlatform->WaitOne(m_hSendEvents[0], 0) == transport::kWaitObject0;
    m_pPlatform->ResetEvent(m_hSendEvents[0]);
    return set;
}

std::vector<NetMessage*> FuzzClient::TakeInput() {
    std::vector<NetMessage*> out;
    while (m_pInputQueue->GetItemCount() > 0) {
        NetMessage* first = m_pInputQueue->PeekFirst();
        Check(first != nullptr, "input queue counts a message it does not hold");
        out.push_back(static_cast<NetMessage*>(first->Clone()));
        m_pInputQueue->PopFirst();
    }
    return out;
}

void FuzzClient::DrainInput() {
    while (m_pInputQueue->GetItemCount() > 0) {
        NetMessage* message = m_pInputQueue->PeekFirst();
        Check(message != nullptr, "input queue counts a message it does not hold");
        NetPackage package;
        DispatchReceived(*message, package);
        m_pInputQueue->PopFirst();
    }
}

NetMessage* MakeMessage(unsigned long id, int priority, const std::vector<std::string>& params) {
    auto* message = new NetMessage;
    message->SetId(id);
    message->SetPriority(priority);
    for (const std::string& text : params) {
        message->GetParams().AddTail(text.c_str(), static_cast<unsigned long>(text.size() + 1));
    }
    return message;
}

std::vector<std::string> Split(const std::uint8_t* data, std::size_t size, char separator) {
    std::vector<std::string> out(1);
    for (std::size_t i = 0; i < size; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c == separator) {
            out.emplace_back();
        } else {
            out.back().push_back(c);
        }
    }
    return out;
}

}  // namespace fuzz
