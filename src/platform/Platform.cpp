// The seam's out-of-line pieces: the destructor and the process's default.

#include <transport/Platform.h>

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

Platform& DefaultPlatform() {
    // Never destroyed: clients may still run while static objects go away.
    static Platform* platform = NewHostPlatform();
    return *platform;
}

}  // namespace transport
