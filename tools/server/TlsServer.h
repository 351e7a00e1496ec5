#ifndef TRANSPORT_TOOLS_SERVER_TLS_SERVER_H
#define TRANSPORT_TOOLS_SERVER_TLS_SERVER_H

#include <cstddef>
#include <memory>
#include <string>

// OpenSSL's own types, so that the loop does not include its headers.
struct ssl_ctx_st;
struct ssl_st;

namespace refserver {

// The outcome of one TLS call on a non-blocking socket.
struct TlsResult {
    enum Kind {
        kDone,       // handshake finished, or count bytes read or written
        kWantRead,   // call again when the socket is readable (POLLIN)
        kWantWrite,  // call again when the socket is writable (POLLOUT)
        kClosed,     // the client ended the session (close_notify or end of stream)
        kFailed,     // broken for good; TlsConnection::Error() tells why
    };
    Kind kind = kDone;
    std::size_t count = 0;
};

// The server's certificate and key, and the CAs that client certificates
// must verify against when there are any. TLS 1.2 at least.
class TlsContext {
public:
    // Null with the reason in error when a file cannot be read or the key
    // does not match the certificate. ca may be empty: no client certificates.
    static std::unique_ptr<TlsContext> Create(const std::string& cert, const std::string& key,
                                              const std::string& ca, std::string* error);
    ~TlsContext();
    TlsContext(const TlsContext&) = delete;
    TlsContext& operator=(const TlsContext&) = delete;

    ssl_ctx_st* Native() const { return m_context; }

private:
    explicit TlsContext(ssl_ctx_st* context) : m_context(context) {}
    ssl_ctx_st* m_context;
};

// The server side of TLS on one accepted non-blocking socket. The caller
// polls for what each call asks and then repeats it; a write repeated after
// kWantWrite or kWantRead must start with the same bytes (they may have moved).
class TlsConnection {
public:
    TlsConnection(const TlsContext& context, int fd);
    ~TlsConnection();
    TlsConnection(const TlsConnection&) = delete;
    TlsConnection& operator=(const TlsConnection&) = delete;

    TlsResult Handshake();
    TlsResult Read(char* buffer, std::size_t size);
    TlsResult Write(const char* data, std::size_t size);
    // Decrypted bytes held inside OpenSSL, which poll cannot see.
    bool Pending() const;
    // Sends close_notify once, without waiting for the answer; nothing after
    // a failure.
    void Shutdown();

    std::string Version() const;  // "TLSv1.3"
    const std::string& Error() const { return m_error; }

private:
    TlsResult Outcome(int returned);

    ssl_st* m_ssl;
    bool m_failed = false;
    std::string m_error;
};

}  // namespace refserver

#endif
