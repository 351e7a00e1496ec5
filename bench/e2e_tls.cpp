// TLS beside clear text: a log-in on a fresh connection (connect, handshake
// and the log-in's round trip) and messages per second with a full queue,
// both against one small answer server that speaks either, so that the
// difference is what TLS costs the client and the line.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "e2e_figures.h"
#include "e2e_platform.h"
#include "e2e_session.h"

namespace bench {
namespace {

using std::chrono::seconds;

// Answers each frame as the benchmark server does; a thread per connection.
class AnswerServer {
public:
    explicit AnswerServer(SSL_CTX* tls) : tls_(tls) {
        listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (bind(listen_, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(listen_, 64) != 0 ||
            getsockname(listen_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return;
        }
        port_ = ntohs(address.sin_port);
        acceptor_ = std::thread([this] {
            for (int fd; (fd = accept(listen_, nullptr, nullptr)) >= 0;) std::thread(&AnswerServer::Serve, this, fd).detach();
        });
    }
    ~AnswerServer() {
        shutdown(listen_, SHUT_RDWR);
        if (acceptor_.joinable()) acceptor_.join();
        close(listen_);
    }
    std::uint16_t Port() const { return port_; }

private:
    void Serve(int fd) {
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        SSL* ssl = tls_ != nullptr ? SSL_new(tls_) : nullptr;
        if (ssl != nullptr) {
            SSL_set_fd(ssl, fd);
            if (SSL_accept(ssl) != 1) ssl = (SSL_free(ssl), nullptr), fd = (close(fd), -1);
        }
        std::string input;
        char chunk[16384];
        while (fd >= 0) {
            const int n = ssl != nullptr ? SSL_read(ssl, chunk, sizeof(chunk))
                                         : static_cast<int>(recv(fd, chunk, sizeof(chunk), 0));
            if (n <= 0) break;
            input.append(chunk, static_cast<std::size_t>(n));
            std::string out;
            for (std::size_t end; (end = input.find("</g44>")) != std::string::npos; input.erase(0, end + 6)) {
                const std::size_t start = input.find("<g44>");
                const long id = start < end ? std::strtol(input.c_str() + start + 5, nullptr, 10) : 0;
                out += id == 1 ? "<g44>1<p>x</p><p>y</p></g44>" : id == 12 ? "<g44>12<p>Keep-Alive</p></g44>" : "<g44>7<p>1</p></g44>";
            }
            if (out.empty()) continue;
            const int written = ssl != nullptr ? SSL_write(ssl, out.data(), static_cast<int>(out.size()))
                                               : static_cast<int>(send(fd, out.data(), out.size(), MSG_NOSIGNAL));
            if (written <= 0) break;
        }
        if (ssl != nullptr) SSL_free(ssl);
        if (fd >= 0) close(fd);
    }

    SSL_CTX* tls_;
    int listen_ = -1;
    std::uint16_t port_ = 0;
    std::thread acceptor_;
};

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// Figures "<prefix>_login_ms" and "<prefix>_msgs_per_s" against server.
bool Measure(const char* prefix, AnswerServer& server, const transport::TlsSettings* tls,
             const RunSizes& sizes) {
    std::vector<double> logins;
    for (int i = 0; i < 10; ++i) {
        BenchPlatform platform(transport::DefaultPlatform(), server.Port());
        CNetClient client(platform);
        client.SetTls(tls);
        const std::uint64_t before = Counts().logins;
        const std::int64_t start = NowNs();
        if (!OpenAndLogin(client) || !WaitForLogins(before + 1, seconds(10))) return false;
        logins.push_back(static_cast<double>(NowNs() - start) / 1e6);
        if (i < 9) client.Close(true);
        if (i < 9) continue;
        const NetMessage message = FillerMessage(60);
        const std::uint64_t results = Counts().results;
        const std::int64_t burst = NowNs();
        for (std::size_t m = 0; m < sizes.roundTrips; ++m) client.Send(&message);
        if (!WaitForResults(results + sizes.roundTrips, seconds(120))) return false;
        std::printf("figure %s_msgs_per_s %.6g\n", prefix,
                    static_cast<double>(sizes.roundTrips) * 1e9 / static_cast<double>(NowNs() - burst));
        client.Close(true);
    }
    std::printf("figure %s_login_ms %.6g\n", prefix, Median(logins));
    std::fflush(stdout);
    return true;
}

}  // namespace

bool TlsFigures(const std::string& certificates, const RunSizes& sizes) {
    // The server's OpenSSL writes with write(): a client that has gone must not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr ||
        SSL_CTX_use_certificate_chain_file(context, (certificates + "/server.pem").c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context, (certificates + "/server.key").c_str(), SSL_FILETYPE_PEM) != 1) {
        std::fprintf(stderr, "tls: cannot load the server certificate from %s\n", certificates.c_str());
        SSL_CTX_free(context);
        return false;
    }
    transport::TlsSettings settings;
    settings.caFile = certificates + "/ca.pem";
    bool ok = true;
    {
        AnswerServer clear(nullptr), secured(context);
        ok = Measure("clear", clear, nullptr, sizes) && Measure("tls", secured, &settings, sizes);
    }
    SSL_CTX_free(context);
    if (!ok) std::fprintf(stderr, "tls: a log-in or the burst did not finish\n");
    return ok;
}

}  // namespace bench
