// The seam's out-of-line pieces: the destructor and the process's default.

#include <transport/Platform.h>

#include <cstdint>

#include "platform/HostPlatform.h"

namespace transport {

Platform::~Platform() = default;

SocketHandle Platform::CreateSocket6() {
    SetLastSocketError(kErrAfNoSupport);
    return kInvalidSocket;
}

int Platform::Connect6(SocketHandle, const std::uint8_t*, std::uint16_t) {
    SetLastSocketError(kErrAfNoSupport);
    return kSocketError;
}

int Platform::StartTls(SocketHandle, const TlsSettings&, std::string* reason) {
    if (reason != nullptr) *reason = "TLS is not available on this platform";
    SetLastSocketError(kErrOpNotSupp);
    return kErrOpNotSupp;
}

namespace {

// FNV-1a over text, from a given starting value.
std::uint64_t Fnv1a(const char* text, std::uint64_t hash) {
    for (const char* c = text; *c != '\0'; ++c) {
        hash ^= static_cast<unsigned char>(*c);
        hash *= 0x100000001b3ull;
    }
    return hash;
}

}  // namespace

int Platform::CmMapUrl(const char* url, Guid* network) {
    if (network == nullptr) return -1;
    // The same URL always maps to the same network.
    const char* text = url != nullptr ? url : "";
    const std::uint64_t high = Fnv1a(text, 0xcbf29ce484222325ull);
    const std::uint64_t low = Fnv1a(text, high ^ 0x9e3779b97f4a7c15ull);
    network->Data1 = static_cast<std::uint32_t>(high >> 32);
    network->Data2 = static_cast<std::uint16_t>(high >> 16);
    network->Data3 = static_cast<std::uint16_t>(high);
    for (int i = 0; i < 8; ++i) network->Data4[i] = static_cast<std::uint8_t>(low >> (56 - 8 * i));
    return 0;
}

Handle Platform::CmApiReadyEvent() {
    Handle ready = CreateEvent();
    if (ready != nullptr) SetEvent(ready);  // always ready
    return ready;
}

Platform& DefaultPlatform() {
    // Never destroyed: clients may still run while static objects go away.
    static Platform* platform = NewHostPlatform();
    return *platform;
}

}  // namespace transport
