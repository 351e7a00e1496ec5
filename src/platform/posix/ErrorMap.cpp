// The one table from host error numbers to the socket error numbering.

#include "platform/posix/ErrorMap.h"

#include <netdb.h>
#include <transport/Platform.h>

#include <cerrno>

namespace transport {
namespace posix {
namespace {

struct ErrnoRow {
    int error;
    int code;
};

// Codes the numbering has no named constant for.
constexpr int kErrDestAddrReq = 10039;
constexpr int kErrProtoType = 10041;
constexpr int kErrNoProtoOpt = 10042;
constexpr int kErrSocketNoSupport = 10044;
constexpr int kErrPfNoSupport = 10046;
constexpr int kErrTooManyRefs = 10059;
constexpr int kErrLoop = 10062;

constexpr ErrnoRow kErrnoTable[] = {
    {EINTR, kErrInterrupted},
    {EBADF, kErrBadFile},
    {EACCES, kErrAccess},
    {EPERM, kErrAccess},
    {EFAULT, kErrFault},
    {EINVAL, kErrInvalid},
    {EMFILE, kErrTooManyFiles},
    {ENFILE, kErrTooManyFiles},
    {EAGAIN, kErrWouldBlock},
#if EWOULDBLOCK != EAGAIN
    {EWOULDBLOCK, kErrWouldBlock},
#endif
    {EINPROGRESS, kErrInProgress},
    {EALREADY, kErrAlready},
    {ENOTSOCK, kErrNotSocket},
    {EDESTADDRREQ, kErrDestAddrReq},
    {EMSGSIZE, kErrMsgSize},
    {EPROTOTYPE, kErrProtoType},
    {ENOPROTOOPT, kErrNoProtoOpt},
    {EPROTONOSUPPORT, kErrProtoNoSupport},
    {ESOCKTNOSUPPORT, kErrSocketNoSupport},
    {EOPNOTSUPP, kErrOpNotSupp},
#if ENOTSUP != EOPNOTSUPP
    {ENOTSUP, kErrOpNotSupp},
#endif
    {EPFNOSUPPORT, kErrPfNoSupport},
    {EAFNOSUPPORT, kErrAfNoSupport},
    {EADDRINUSE, kErrAddrInUse},
    {EADDRNOTAVAIL, kErrAddrNotAvail},
    {ENETDOWN, kErrNetDown},
    {ENETUNREACH, kErrNetUnreach},
    {ENETRESET, kErrNetReset},
    {ECONNABORTED, kErrConnAborted},
    {ECONNRESET, kErrConnReset},
    // Writing to a connection the peer has closed: a reset, as seen from here.
    {EPIPE, kErrConnReset},
    {ENOBUFS, kErrNoBufs},
    {ENOMEM, kErrNoBufs},
    {EISCONN, kErrIsConn},
    {ENOTCONN, kErrNotConn},
    {ESHUTDOWN, kErrShutdown},
    {ETOOMANYREFS, kErrTooManyRefs},
    {ETIMEDOUT, kErrTimedOut},
    {ECONNREFUSED, kErrConnRefused},
    {ELOOP, kErrLoop},
    {ENAMETOOLONG, kErrNameTooLong},
    {EHOSTDOWN, kErrHostDown},
    {EHOSTUNREACH, kErrHostUnreach},
};

}  // namespace

int SocketErrorFromErrno(int error) {
    for (const ErrnoRow& row : kErrnoTable) {
        if (row.error == error) return row.code;
    }
    return kUnmappedErrnoBase + error;
}

int SocketErrorFromAddrInfo(int result, int savedErrno) {
    switch (result) {
        case 0:
            return 0;
        case EAI_NONAME:
            return kErrHostNotFound;
        case EAI_AGAIN:
            return kErrTryAgain;
        case EAI_FAIL:
            return kErrNoRecovery;
#ifdef EAI_NODATA
        case EAI_NODATA:
            return kErrNoData;
#endif
#ifdef EAI_ADDRFAMILY
        // The name exists but has no IPv4 address.
        case EAI_ADDRFAMILY:
            return kErrNoData;
#endif
        case EAI_MEMORY:
            return kErrNoBufs;
        case EAI_SYSTEM:
            return SocketErrorFromErrno(savedErrno);
        default:
            return kErrNoRecovery;
    }
}

}  // namespace posix
}  // namespace transport
