#ifndef TRANSPORT_PLATFORM_POSIX_TLS_SESSION_H
#define TRANSPORT_PLATFORM_POSIX_TLS_SESSION_H

// One socket's TLS client session over OpenSSL. Every call is non-blocking
// and says what the socket must become ready for before the call can go on;
// the caller does the waiting. Calls are serialised by the session's own
// mutex, since the reader and the writers of a socket are different threads
// and an SSL object serves one at a time.

#include <transport/Platform.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

typedef struct ssl_st SSL;

namespace transport {
namespace posix {

class TlsSession {
public:
    enum class Step {
        kDone,       // finished (a handshake) or moved bytes (a read or a write)
        kWantRead,   // call again once the socket is readable
        kWantWrite,  // call again once the socket is writable
        kClosed,     // the peer ended the session
        kFailed,     // *code and the reason say why
    };

    // A session for fd, set up from settings; null with *code (kErrTlsSetup)
    // and *reason when a CA, certificate or key cannot be loaded.
    static std::unique_ptr<TlsSession> Create(int fd, const TlsSettings& settings, int* code,
                                              std::string* reason);
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // One handshake step; kDone once the server is verified (chain, name,
    // pin) and the session is up.
    Step Handshake(int* code, std::string* reason);
    Step Read(char* buffer, std::size_t capacity, std::size_t* count, int* code);
    Step Write(const char* data, std::size_t length, std::size_t* count, int* code);
    // Decrypted bytes waiting inside the session: the socket will not show them.
    bool Buffered();
    // Bytes taken off the socket so far.
    unsigned long RawBytesRead();
    // Sends the closing alert if the socket takes it at once.
    void Shutdown();
    // "TLSv1.3 TLS_AES_256_GCM_SHA384".
    std::string Description();

private:
    TlsSession(SSL* ssl, std::string pin) : ssl_(ssl), pin_(std::move(pin)) {}
    Step Failure(int result, int* code, std::string* reason);
    bool PinMatches(std::string* reason);

    SSL* ssl_;
    const std::string pin_;  // 32 bytes, or empty
    std::mutex mutex_;
};

}  // namespace posix
}  // namespace transport

#endif
