#include "TlsServer.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace refserver {
namespace {

// The oldest error queued by the last call (the root cause), then an empty queue.
std::string TakeError() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return {};
    if (ERR_SYSTEM_ERROR(code)) return std::strerror(ERR_GET_REASON(code));  // a file, say
    if (const char* reason = ERR_reason_error_string(code)) return reason;
    char text[256];
    ERR_error_string_n(code, text, sizeof(text));
    return text;
}

}  // namespace

std::unique_ptr<TlsContext> TlsContext::Create(const std::string& cert, const std::string& key,
                                               const std::string& ca, std::string* error) {
    ERR_clear_error();
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr) {
        *error = "cannot set up TLS: " + TakeError();
        return nullptr;
    }
    std::unique_ptr<TlsContext> result(new TlsContext(context));
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    // A client that closes without close_notify is closed like a clear-text one.
    SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF);
    // The loop writes what the socket takes and erases it from its buffer.
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    if (SSL_CTX_use_certificate_chain_file(context, cert.c_str()) != 1) {
        *error = "cannot use the certificate " + cert + ": " + TakeError();
        return nullptr;
    }
    if (SSL_CTX_use_PrivateKey_file(context, key.c_str(), SSL_FILETYPE_PEM) != 1) {
        *error = "cannot use the key " + key + ": " + TakeError();
        return nullptr;
    }
    if (SSL_CTX_check_private_key(context) != 1) {
        *error = "the key " + key + " does not match the certificate " + cert;
        ERR_clear_error();
        return nullptr;
    }
    if (!ca.empty()) {
        STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(ca.c_str());
        if (names == nullptr || SSL_CTX_load_verify_locations(context, ca.c_str(), nullptr) != 1) {
            if (names != nullptr) sk_X509_NAME_pop_free(names, X509_NAME_free);
            *error = "cannot use the CA certificates " + ca + ": " + TakeError();
            return nullptr;
        }
        SSL_CTX_set_client_CA_list(context, names);  // named in the certificate request
        SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
        // Resumed sessions carry the verified client; OpenSSL refuses them without this.
        static const unsigned char kSessionContext[] = "transport-server";
        SSL_CTX_set_session_id_context(context, kSessionContext, sizeof(kSessionContext) - 1);
    }
    return result;
}

TlsContext::~TlsContext() { SSL_CTX_free(m_context); }

TlsConnection::TlsConnection(const TlsContext& context, int fd) : m_ssl(SSL_new(context.Native())) {
    if (m_ssl == nullptr || SSL_set_fd(m_ssl, fd) != 1) {
        m_failed = true;
        m_error = "cannot set up TLS: " + TakeError();
    }
}

TlsConnection::~TlsConnection() { SSL_free(m_ssl); }

TlsResult TlsConnection::Handshake() {
    if (m_failed) return {TlsResult::kFailed, 0};
    ERR_clear_error();
    const int returned = SSL_accept(m_ssl);
    return returned == 1 ? TlsResult{TlsResult::kDone, 0} : Outcome(returned);
}

TlsResult TlsConnection::Read(char* buffer, std::size_t size) {
    if (m_failed) return {TlsResult::kFailed, 0};
    ERR_clear_error();
    const int returned = SSL_read(m_ssl, buffer, static_cast<int>(size > INT_MAX ? INT_MAX : size));
    if (returned > 0) return {TlsResult::kDone, static_cast<std::size_t>(returned)};
    return Outcome(returned);
}

TlsResult TlsConnection::Write(const char* data, std::size_t size) {
    if (m_failed) return {TlsResult::kFailed, 0};
    ERR_clear_error();
    const int returned = SSL_write(m_ssl, data, static_cast<int>(size > INT_MAX ? INT_MAX : size));
    if (returned > 0) return {TlsResult::kDone, static_cast<std::size_t>(returned)};
    return Outcome(returned);
}

bool TlsConnection::Pending() const { return !m_failed && SSL_pending(m_ssl) > 0; }

void TlsConnection::Shutdown() {
    if (m_failed) return;
    m_failed = true;  // once
    ERR_clear_error();
    SSL_shutdown(m_ssl);
    ERR_clear_error();
}

std::string TlsConnection::Version() const {
    return m_ssl != nullptr ? SSL_get_version(m_ssl) : "";
}

TlsResult TlsConnection::Outcome(int returned) {
    const int savedErrno = errno;
    const int code = SSL_get_error(m_ssl, returned);
    switch (code) {
        case SSL_ERROR_WANT_READ:
            return {TlsResult::kWantRead, 0};
        case SSL_ERROR_WANT_WRITE:
            return {TlsResult::kWantWrite, 0};
        case SSL_ERROR_ZERO_RETURN:
            ERR_clear_error();
            m_error = "closed by the client";
            return {TlsResult::kClosed, 0};
        default:
            break;
    }
    // OpenSSL forbids any further call, close_notify included, after these.
    m_failed = true;
    m_error = TakeError();
    if (m_error.empty()) {
        m_error = code == SSL_ERROR_SYSCALL && savedErrno != 0 ? std::strerror(savedErrno)
                                                               : "closed by the client";
    }
    const long verified = SSL_get_verify_result(m_ssl);
    if (verified != X509_V_OK) {
        m_error += std::string(" (") + X509_verify_cert_error_string(verified) + ")";
    }
    return {TlsResult::kFailed, 0};
}

}  // namespace refserver
