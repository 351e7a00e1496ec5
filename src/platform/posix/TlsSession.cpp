// The TLS client session: context from the settings, verification of the
// chain, the name and the pin, and the non-blocking steps.

#include "platform/posix/TlsSession.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <sys/socket.h>
#include <openssl/err.h>
#include <openssl/sha.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "platform/posix/ErrorMap.h"

namespace transport {
namespace posix {
namespace {

// The oldest error of this thread's OpenSSL queue as text (the queue is emptied).
std::string TakeErrors(const char* fallback) {
    const unsigned long first = ERR_get_error();
    ERR_clear_error();
    if (first == 0) return fallback;
    char text[256];
    ERR_error_string_n(first, text, sizeof(text));
    return text;
}

// 64 hex digits, colons allowed between them, as 32 bytes; empty when malformed.
std::string PinBytes(const std::string& hex) {
    std::string bytes;
    int high = -1;
    for (char c : hex) {
        if (c == ':') continue;
        int value = -1;
        if (c >= '0' && c <= '9') value = c - '0';
        if (c >= 'a' && c <= 'f') value = c - 'a' + 10;
        if (c >= 'A' && c <= 'F') value = c - 'A' + 10;
        if (value < 0) return {};
        if (high < 0) {
            high = value;
        } else {
            bytes.push_back(static_cast<char>(high * 16 + value));
            high = -1;
        }
    }
    return bytes.size() == SHA256_DIGEST_LENGTH && high < 0 ? bytes : std::string();
}

// The session's path to the descriptor. OpenSSL's own socket BIO writes
// with write(), and a peer that has gone would raise SIGPIPE in the
// application; this one sends with MSG_NOSIGNAL, as the clear-text path does.
int SocketOf(BIO* bio) { return static_cast<int>(reinterpret_cast<std::intptr_t>(BIO_get_data(bio))); }

int Retry(BIO* bio, long n, bool write) {
    BIO_clear_retry_flags(bio);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        if (write) {
            BIO_set_retry_write(bio);
        } else {
            BIO_set_retry_read(bio);
        }
    }
    return static_cast<int>(n);
}

BIO_METHOD* SocketMethod() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "transport socket");
        BIO_meth_set_write(m, [](BIO* bio, const char* data, int length) {
            return Retry(bio, send(SocketOf(bio), data, static_cast<std::size_t>(length), MSG_NOSIGNAL), true);
        });
        BIO_meth_set_read(m, [](BIO* bio, char* data, int length) {
            return Retry(bio, recv(SocketOf(bio), data, static_cast<std::size_t>(length), 0), false);
        });
        BIO_meth_set_ctrl(m, [](BIO*, int command, long, void*) -> long { return command == BIO_CTRL_FLUSH; });
        BIO_meth_set_create(m, [](BIO* bio) {
            BIO_set_init(bio, 1);
            return 1;
        });
        return m;
    }();
    return method;
}

bool IsAddress(const std::string& name) {
    unsigned char scratch[16];
    return inet_pton(AF_INET, name.c_str(), scratch) == 1 ||
           inet_pton(AF_INET6, name.c_str(), scratch) == 1;
}

// A context of one session: the trust, the client certificate, TLS 1.2 or later.
SSL_CTX* NewContext(const TlsSettings& settings, std::string* reason) {
    SSL_CTX* context = SSL_CTX_new(TLS_client_method());
    if (context == nullptr) {
        *reason = TakeErrors("cannot create a TLS context");
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    // A peer that goes without the closing alert is a closed connection, as in clear text.
    SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE);
    bool loaded = true;
    const char* what = "";
    if (!settings.caFile.empty() || !settings.caPath.empty()) {
        loaded = SSL_CTX_load_verify_locations(
                     context, settings.caFile.empty() ? nullptr : settings.caFile.c_str(),
                     settings.caPath.empty() ? nullptr : settings.caPath.c_str()) == 1;
        what = "the CA file or folder";
    } else {
        loaded = SSL_CTX_set_default_verify_paths(context) == 1;
        what = "the system's CA store";
    }
    if (loaded && (!settings.certFile.empty() || !settings.keyFile.empty())) {
        const std::string& key = settings.keyFile.empty() ? settings.certFile : settings.keyFile;
        loaded = SSL_CTX_use_certificate_chain_file(context, settings.certFile.c_str()) == 1 &&
                 SSL_CTX_use_PrivateKey_file(context, key.c_str(), SSL_FILETYPE_PEM) == 1 &&
                 SSL_CTX_check_private_key(context) == 1;
        what = "the client certificate or its key";
    }
    if (!loaded) {
        *reason = std::string("cannot load ") + what + ": " + TakeErrors("unknown reason");
        SSL_CTX_free(context);
        return nullptr;
    }
    SSL_CTX_set_verify(context, settings.insecureNoVerify ? SSL_VERIFY_NONE : SSL_VERIFY_PEER,
                       nullptr);
    return context;
}

}  // namespace

std::unique_ptr<TlsSession> TlsSession::Create(int fd, const TlsSettings& settings, int* code,
                                               std::string* reason) {
    *code = kErrTlsSetup;
    const std::string pin = PinBytes(settings.pinSha256);
    if (!settings.pinSha256.empty() && pin.empty()) {
        *reason = "the pin is not 64 hex digits";
        return nullptr;
    }
    SSL_CTX* context = NewContext(settings, reason);
    if (context == nullptr) return nullptr;
    SSL* ssl = SSL_new(context);
    SSL_CTX_free(context);  // the session holds its own reference
    BIO* bio = ssl != nullptr ? BIO_new(SocketMethod()) : nullptr;
    if (bio == nullptr) {
        *reason = TakeErrors("cannot create a TLS session");
        SSL_free(ssl);
        return nullptr;
    }
    BIO_set_data(bio, reinterpret_cast<void*>(static_cast<std::intptr_t>(fd)));
    SSL_set_bio(ssl, bio, bio);
    const std::string& name = settings.serverName;
    if (!name.empty() && IsAddress(name)) {
        // No SNI for an address; the certificate must list it.
        if (!settings.insecureNoVerify) X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), name.c_str());
    } else if (!name.empty()) {
        SSL_set_tlsext_host_name(ssl, name.c_str());
        if (!settings.insecureNoVerify) SSL_set1_host(ssl, name.c_str());
    }
    return std::unique_ptr<TlsSession>(new TlsSession(ssl, pin));
}

TlsSession::~TlsSession() { SSL_free(ssl_); }

TlsSession::Step TlsSession::Handshake(int* code, std::string* reason) {
    std::lock_guard<std::mutex> lock(mutex_);
    ERR_clear_error();
    const int result = SSL_connect(ssl_);
    if (result != 1) {
        const Step step = Failure(result, code, reason);
        if (step != Step::kFailed) return step;
        // Why the chain was refused, in the words of the verification.
        const long verdict = SSL_get_verify_result(ssl_);
        if (verdict != X509_V_OK) {
            *reason = X509_verify_cert_error_string(verdict);
            switch (verdict) {
                case X509_V_ERR_HOSTNAME_MISMATCH:
                case X509_V_ERR_IP_ADDRESS_MISMATCH:
                    *code = kErrTlsName;
                    break;
                case X509_V_ERR_CERT_HAS_EXPIRED:
                case X509_V_ERR_CERT_NOT_YET_VALID:
                    *code = kErrTlsExpired;
                    break;
                default:
                    *code = kErrTlsCertificate;
            }
        } else if (*code == kErrConnReset || *code == kErrTlsHandshake) {
            *code = kErrTlsHandshake;
        }
        return Step::kFailed;
    }
    if (!pin_.empty() && !PinMatches(reason)) {
        *code = kErrTlsPin;
        return Step::kFailed;
    }
    return Step::kDone;
}

bool TlsSession::PinMatches(std::string* reason) {
    X509* certificate = SSL_get1_peer_certificate(ssl_);
    unsigned char* der = nullptr;
    const int length =
        certificate == nullptr ? -1 : i2d_X509_PUBKEY(X509_get_X509_PUBKEY(certificate), &der);
    unsigned char digest[SHA256_DIGEST_LENGTH] = {};
    if (length > 0) SHA256(der, static_cast<std::size_t>(length), digest);
    OPENSSL_free(der);
    X509_free(certificate);
    if (length > 0 && std::memcmp(digest, pin_.data(), sizeof(digest)) == 0) return true;
    *reason = "the server's public key does not match the pin";
    return false;
}

TlsSession::Step TlsSession::Read(char* buffer, std::size_t capacity, std::size_t* count,
                                  int* code) {
    std::lock_guard<std::mutex> lock(mutex_);
    ERR_clear_error();
    *count = 0;
    const int result = SSL_read_ex(ssl_, buffer, capacity, count) == 1 ? 1 : 0;
    if (result == 1) return Step::kDone;
    std::string reason;
    return Failure(result, code, &reason);
}

TlsSession::Step TlsSession::Write(const char* data, std::size_t length, std::size_t* count,
                                   int* code) {
    std::lock_guard<std::mutex> lock(mutex_);
    ERR_clear_error();
    *count = 0;
    const int result = SSL_write_ex(ssl_, data, length, count) == 1 ? 1 : 0;
    if (result == 1) return Step::kDone;
    std::string reason;
    return Failure(result, code, &reason);
}

TlsSession::Step TlsSession::Failure(int result, int* code, std::string* reason) {
    const int savedErrno = errno;
    switch (SSL_get_error(ssl_, result)) {
        case SSL_ERROR_WANT_READ:
            return Step::kWantRead;
        case SSL_ERROR_WANT_WRITE:
            return Step::kWantWrite;
        case SSL_ERROR_ZERO_RETURN:
            *reason = "the peer closed the connection";
            *code = kErrConnReset;
            return Step::kClosed;
        case SSL_ERROR_SYSCALL:
            if (ERR_peek_error() == 0) {
                *reason = savedErrno != 0 ? std::strerror(savedErrno) : "the peer closed the connection";
                *code = savedErrno != 0 ? SocketErrorFromErrno(savedErrno) : kErrConnReset;
                if (savedErrno == 0) return Step::kClosed;
                return Step::kFailed;
            }
            break;
        default:
            break;
    }
    *reason = TakeErrors("TLS failure");
    *code = kErrTlsHandshake;
    return Step::kFailed;
}

bool TlsSession::Buffered() {
    std::lock_guard<std::mutex> lock(mutex_);
    return SSL_pending(ssl_) > 0;
}

unsigned long TlsSession::RawBytesRead() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<unsigned long>(BIO_number_read(SSL_get_rbio(ssl_)));
}

void TlsSession::Shutdown() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (SSL_is_init_finished(ssl_)) SSL_shutdown(ssl_);
    ERR_clear_error();
}

std::string TlsSession::Description() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::string(SSL_get_version(ssl_)) + " " + SSL_get_cipher_name(ssl_);
}

}  // namespace posix
}  // namespace transport
