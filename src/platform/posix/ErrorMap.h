#ifndef TRANSPORT_PLATFORM_POSIX_ERROR_MAP_H
#define TRANSPORT_PLATFORM_POSIX_ERROR_MAP_H

// Host errors enter the socket error numbering here and nowhere else, so the
// client's error texts mean the same on every platform.
namespace transport {
namespace posix {

// An errno value in the socket error numbering. Values without a counterpart
// become kUnmappedErrnoBase + errno: outside every known code (their text is
// the unknown-error text) yet still telling in a trace.
int SocketErrorFromErrno(int error);

// A getaddrinfo result (EAI_...) in the socket error numbering; savedErrno is
// errno right after the call, used for EAI_SYSTEM.
int SocketErrorFromAddrInfo(int result, int savedErrno);

constexpr int kUnmappedErrnoBase = 20000;

}  // namespace posix
}  // namespace transport

#endif
