#include "ServerOptions.h"

#include <arpa/inet.h>

#include "Arguments.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace refserver {
namespace {

// A whole decimal number in [low, high]; nothing else is accepted.
bool ReadNumber(const char* text, long long low, long long high, long long* value) {
    if (text == nullptr || *text == '\0') return false;
    errno = 0;
    char* end = nullptr;
    const long long parsed = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || parsed < low || parsed > high) return false;
    *value = parsed;
    return true;
}

}  // namespace

const char* ServerUsage() {
    return "Usage: transport-server [ADDRESS] [options]\n"
           "\n"
           "Reference server for the Transport client. Listens on port 800 of ADDRESS\n"
           "(default 127.0.0.1) and speaks the frame protocol, plain and inside\n"
           "\"POST /mpsrv HTTP/1.1\" requests. Prints one line per event.\n"
           "\n"
           "What it answers:\n"
           "  log-in (id 1)            id 1 with the encoded session name \"session-N\"\n"
           "  message (other ids)      id 7 with result 1\n"
           "  keep-alive (id 12)       id 12\n"
           "  binary (ids 300-399)     id 7 with result 1, then the message echoed\n"
           "  transfer part (id 10)    id 7 with result 1; after the last part, every\n"
           "                           part echoed back as id 10\n"
           "\n"
           "Options:\n"
           "  -a, --address ADDR     IPv4 address to listen on (default 127.0.0.1)\n"
           "      --port N           port to listen on (default 800; 0 picks a free one)\n"
           "      --refuse-login C   answer every log-in with id 0 and code C\n"
           "      --refuse-id ID     answer messages of id ID with result 0 (refused)\n"
           "      --drop-after N     close each connection when its Nth frame arrives\n"
           "      --silent           accept and read, but never answer\n"
           "      --http-only        close connections that send plain frames other\n"
           "                         than keep-alives and the disconnect (which the\n"
           "                         client never wraps)\n"
           "      --lose-part K      leave part K out of every transfer echo\n"
           "      --max-conns N      connections served at once (default 512)\n"
           "      --tls-cert FILE    speak TLS with this PEM certificate (chain); needs\n"
           "                         --tls-key\n"
           "      --tls-key FILE     the PEM private key of --tls-cert\n"
           "      --tls-ca FILE      require client certificates that verify against\n"
           "                         these PEM CA certificates (mutual TLS)\n"
           "  -v, --verbose          a line for every transfer part too\n"
           "  -h, --help             this text\n"
           "      --version          the version, and stop\n"
           "\n"
           "Signals: SIGUSR1 drops every connection (clients then reconnect);\n"
           "SIGINT and SIGTERM stop the server.\n"
           "Exit codes: 0 stopped by a signal, 1 cannot listen or load the TLS files,\n"
           "2 bad arguments.\n";
}

bool ParseAddress(const std::string& text, std::uint16_t port, sockaddr_storage* address,
                  socklen_t* length) {
    *address = sockaddr_storage{};
    auto* in6 = reinterpret_cast<sockaddr_in6*>(address);
    if (inet_pton(AF_INET6, text.c_str(), &in6->sin6_addr) == 1) {
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        *length = sizeof(sockaddr_in6);
        return true;
    }
    auto* in = reinterpret_cast<sockaddr_in*>(address);
    in->sin_family = AF_INET;
    in->sin_port = htons(port);
    *length = sizeof(sockaddr_in);
    return inet_pton(AF_INET, text.c_str(), &in->sin_addr) == 1;
}

bool ParseServerOptions(int argc, const char* const* argv, ServerOptions* options,
                        std::string* error) {
    bool addressGiven = false;
    const std::vector<std::string> words = tools::Arguments(argc, argv, "a");
    const int count = static_cast<int>(words.size());
    for (int i = 0; i < count; ++i) {
        const std::string arg = words[static_cast<std::size_t>(i)];
        const char* value = i + 1 < count ? words[static_cast<std::size_t>(i) + 1].c_str() : nullptr;
        if (arg == "--" && value != nullptr && !addressGiven) {  // an operand: the address
            options->address = value;
            addressGiven = true;
            ++i;
            continue;
        }
        long long number = 0;
        auto needNumber = [&](long long low, long long high) {
            if (value == nullptr) {
                *error = "option " + arg + " needs a value";
                return false;
            }
            if (!ReadNumber(value, low, high, &number)) {
                *error = "option " + arg + ": '" + value + "' is not a number from " +
                         std::to_string(low) + " to " + std::to_string(high);
                return false;
            }
            ++i;
            return true;
        };

        if (arg == "-h" || arg == "--help") {
            options->help = true;
        } else if (arg == "--version") {
            options->version = true;
        } else if (arg == "-v" || arg == "--verbose") {
            options->verbose = true;
        } else if (arg == "--silent") {
            options->silent = true;
        } else if (arg == "--http-only") {
            options->httpOnly = true;
        } else if (arg == "-a" || arg == "--address") {
            if (value == nullptr) {
                *error = "option " + arg + " needs a value";
                return false;
            }
            options->address = value;
            addressGiven = true;
            ++i;
        } else if (arg == "--tls-cert" || arg == "--tls-key" || arg == "--tls-ca") {
            if (value == nullptr || *value == '\0') {
                *error = "option " + arg + " needs a value";
                return false;
            }
            std::string& file = arg == "--tls-cert"  ? options->tlsCert
                                : arg == "--tls-key" ? options->tlsKey
                                                     : options->tlsCa;
            file = value;
            ++i;
        } else if (arg == "--port") {
            if (!needNumber(0, 65535)) return false;
            options->port = static_cast<std::uint16_t>(number);
        } else if (arg == "--refuse-login") {
            if (!needNumber(0, std::numeric_limits<int>::max())) return false;
            options->refuseLoginCode = static_cast<long>(number);
        } else if (arg == "--refuse-id") {
            if (!needNumber(0, 99999)) return false;
            options->refuseId = static_cast<long>(number);
        } else if (arg == "--drop-after") {
            if (!needNumber(1, 1000000000)) return false;
            options->dropAfter = static_cast<unsigned long>(number);
        } else if (arg == "--lose-part") {
            if (!needNumber(1, 1000000000)) return false;
            options->losePart = static_cast<unsigned long>(number);
        } else if (arg == "--max-conns") {
            if (!needNumber(1, 100000)) return false;
            options->maxConnections = static_cast<std::size_t>(number);
        } else if (!arg.empty() && arg[0] != '-' && !addressGiven) {
            options->address = arg;
            addressGiven = true;
        } else {
            *error = "unknown argument '" + arg + "'";
            return false;
        }
    }
    if (options->tlsCert.empty() != options->tlsKey.empty()) {
        *error = "options --tls-cert and --tls-key go together";
        return false;
    }
    if (!options->tlsCa.empty() && options->tlsCert.empty()) {
        *error = "option --tls-ca needs --tls-cert and --tls-key";
        return false;
    }
    sockaddr_storage parsed{};
    socklen_t length = 0;
    if (!ParseAddress(options->address, options->port, &parsed, &length)) {
        *error = "'" + options->address + "' is not an IPv4 or IPv6 address";
        return false;
    }
    return true;
}

}  // namespace refserver
