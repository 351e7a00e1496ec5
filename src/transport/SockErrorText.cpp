#include "transport/SockErrorText.h"

#include <algorithm>
#include <iterator>

namespace transport {
namespace {

struct ErrorText {
    int code;
    const char* text;
};

// Sorted by code. The texts are fixed and appear in traces as they are,
// including their odd spellings and double blanks.
constexpr ErrorText kErrorTexts[] = {
    {10004, "WSAEINTR: Interrupted system call."},
    {10009, "WSAEBADF: Bad file number."},
    {10013, "WSEACCES: Permission denied."},
    {10014, "WSAEFAULT: Bad address."},
    {10022, "WSAEINVAL: Invalid argument."},
    {10024, "WSAEMFILE: Too many open files."},
    {10035, "WSAEWOULDBLOCK: Operation would block."},
    {10036,
     "WSAEINPROGRESS: Operation now in progress. This error is returned if any Windows "
     "Sockets API  function is called while a blocking  function is in progress."},
    {10037, "WSAEALREADY: Operation already in progress."},
    {10038, "WSAENOTSOCK: Socket operation on non socket."},
    {10039, "WSAEDESTADDRREQ: Destination address required."},
    {10040, "WSAEMSGSIZE: Message too long."},
    {10041, "WSAEPROTOTYPE: Protocol wrong type for socket."},
    {10042, "WSAENOPROTOOPT: Protocol not available."},
    {10043, "WSAEPROTONOSUPPORT: Protocol not supported."},
    {10044, "WSAESOCKTNOSUPPORT: Socket type not supported."},
    {10045, "WSAEOPNOTSUPP: Operation not supported on socket."},
    {10046, "WSAEPFNOSUPPORT: Protocol family not supported."},
    {10047, "WSAEAFNOSUPPORT: Address family not supported by protocol family."},
    {10048, "WSAEADDRINUSE: Address already in use."},
    {10049, "WSAEADDRNOTAVAIL: Cannot assign requested address."},
    {10050,
     "WSAENETDOWN: Network is down. This error may be case reported at any time if the "
     "Windows Sockets implementation detects an underlying failure."},
    {10051, "WSAENETUNREACH: Network is unreachable."},
    {10052, "WSAENETRESET: Network dropped connection on reset."},
    {10053, "WSAECONNABORTED: Software caused connection abort."},
    {10054, "WSAECONNRESET: Connection reset by peer."},
    {10055, "WSAENOBUFS: No buffer space available."},
    {10056, "WSAEISCONN: Socket is already connected."},
    {10057, "WSAENOTCONN: Socket is not connected."},
    {10058, "WSAESHUTDOWN: Cannot send after socket shutdown."},
    {10059, "WSAETOOMANYREFS: Too many references: cannot splice."},
    {10060, "WSAETIMEDOUT: Connection timed out."},
    {10061, "WSAECONNREFUSED: Connection refused."},
    {10062, "WSAELOOP: Too many levels of symbolic links."},
    {10063, "WSAENAMETOOLONG: File name too long."},
    {10064, "WSAEHOSTDOWN: Host is down."},
    {10065, "WSAEHOSTUNREACH: No route to host."},
    {10091,
     "WSASYSNOTREADY: Returned by WSAStartup(), indicating that the network subsystem is "
     "unusable."},
    {10092,
     "WSAVERNOTSUPPORTED: Returned by WSAStartup(), indicating that the Windows Sockets "
     "DLL cannot support this application."},
    {10093,
     "WSANOTINITIALISED: Winsock not initialized. This message is returned by any "
     "function except WSAStartup(), indicating that a successful WSAStartup() has not yet "
     "been performed."},
    {10101, "WSAEDISCON: Disconnect."},
    {11001,
     "WSAHOST_NOT_FOUND: Host not found. This message indicates that the key (name, "
     "address, and so on) was not found."},
    {11002,
     "WSATRY_AGAIN: Nonauthoritative host not found. This error may suggest that the name "
     "service itself is not functioning."},
    {11003,
     "WSANO_RECOVERY: Nonrecoverable error. This error may suggest that the name service "
     "itself is not functioning."},
    {11004,
     "WSANO_DATA: Valid name, no data record of requested type. This error indicates that "
     "the key (name, address, and so on) was not found."},
    {30001, "TLS: the handshake failed."},
    {30002, "TLS: the server's certificate does not verify."},
    {30003, "TLS: the server's certificate is not for this host."},
    {30004, "TLS: the server's certificate has expired or is not yet valid."},
    {30005, "TLS: the server's public key does not match the pin."},
    {30006, "TLS: no handshake within the time allowed."},
    {30007, "TLS: the CA, the client certificate or its key cannot be loaded."},
};

constexpr char kUnknown[] = "Unknown socket error.";

}  // namespace

const char* SockErrorText(int code) {
    const auto* end = std::end(kErrorTexts);
    const auto* found = std::lower_bound(std::begin(kErrorTexts), end, code,
                                         [](const ErrorText& row, int c) { return row.code < c; });
    return found != end && found->code == code ? found->text : kUnknown;
}

}  // namespace transport
