// The platform's lifetime, the clock, the trace sink and the factory of the
// Windows platform.

#include "platform/win32/Win32Platform.h"

#include <string>

#include "platform/HostPlatform.h"
#include "platform/win32/InterfaceWatch.h"
#include "platform/win32/SocketTable.h"
#include "platform/win32/Win32Api.h"

namespace transport {

Platform* NewHostPlatform() { return new win32::Win32Platform; }

namespace win32 {
namespace {

// Tracing is asked for by setting TRANSPORT_TRACE (to anything but "" or "0").
bool TraceRequested() {
    char value[8] = {};
    const DWORD length = ::GetEnvironmentVariableA("TRANSPORT_TRACE", value, sizeof(value));
    if (length == 0) return false;
    return !(length == 1 && value[0] == '0');
}

}  // namespace

// Winsock is started for the platform's whole life: sockets and name
// lookups work before (or without) the client's SocketStartup.
Win32Platform::Win32Platform() : traceEnabled_(TraceRequested()), sockets_(new SocketTable) {
    WSADATA data{};
    ownStartup_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

Win32Platform::~Win32Platform() {
    watch_.reset();
    if (ownStartup_) ::WSACleanup();
}

std::uint32_t Win32Platform::GetTickCount() {
    return static_cast<std::uint32_t>(::GetTickCount64());  // wraps as the 32-bit counter
}

void Win32Platform::Trace(const char* text, bool) {
    if (!traceEnabled_ || text == nullptr) return;
    // One call per line, so that lines of several threads never interleave.
    const std::string line = std::string(text) + "\n";
    ::OutputDebugStringA(line.c_str());
}

}  // namespace win32
}  // namespace transport
