#include "CliOptions.h"

#include "Arguments.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace cli {
namespace {

// A frame parameter ends at these texts, or its frame does; no escaping exists.
constexpr const char* kFrameTexts[] = {"</p>", "<g44>", "</g44>"};

// The text of a message must fit one request of the client (2500 characters
// including the frame and, in HTTP mode, the POST headers).
constexpr std::size_t kMaxText = 2000;
// Base64 makes binary data a third longer.
constexpr std::size_t kMaxBinary = 1500;
constexpr std::size_t kMaxCredential = 200;
constexpr std::size_t kMaxHosts = 4;

bool ReadNumber(const char* text, long long low, long long high, long long* value) {
    if (text == nullptr || *text == '\0') return false;
    errno = 0;
    char* end = nullptr;
    const long long parsed = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || parsed < low || parsed > high) return false;
    *value = parsed;
    return true;
}

// 64 hex digits, ':' allowed between them: the form the library takes.
bool IsPin(const std::string& text) {
    std::size_t digits = 0;
    for (char c : text) {
        if (c == ':') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        ++digits;
    }
    return digits == 64;
}

bool HoldsFrameText(const std::string& text, std::string* which) {
    for (const char* tag : kFrameTexts) {
        if (text.find(tag) != std::string::npos) {
            *which = tag;
            return true;
        }
    }
    return false;
}

}  // namespace

const char* CliUsage() {
    return "Usage: transport-cli -H HOST -u USER -p PASSWORD [what to do] [options]\n"
           "\n"
           "Connects to a server on port 800 of HOST, logs in, sends what it is told\n"
           "and prints every notification the library gives back.\n"
           "\n"
           "Connection:\n"
           "  -H, --host HOST        server host name or IPv4 address; up to four, tried\n"
           "                         in turn (the 2nd and 4th: dotted addresses only)\n"
           "  -u, --user USER        user name for the log-in\n"
           "  -p, --password PASS    password for the log-in\n"
           "  -t, --timeout SECONDS  how long to wait for the log-in answer, and for\n"
           "                         each next delivery result or transfer part\n"
           "                         (default 10)\n"
           "      --retries N        reconnection rounds before giving up (default 2)\n"
           "\n"
           "TLS (each --tls-* option turns it on too):\n"
           "      --tls              speak TLS, verifying the server against the\n"
           "                         system's CAs and its certificate against the host\n"
           "      --tls-ca FILE      trust the CAs of this PEM bundle instead\n"
           "      --tls-cert FILE    client certificate (PEM), for servers that ask for\n"
           "                         one; needs --tls-key\n"
           "      --tls-key FILE     the PEM private key of --tls-cert\n"
           "      --tls-pin HEX      accept only the server key whose SHA-256 (of its\n"
           "                         SubjectPublicKeyInfo) is HEX: 64 hex digits, ':'\n"
           "                         allowed between them\n"
           "      --tls-name NAME    the name the certificate must hold, instead of the\n"
           "                         host's\n"
           "      --tls-insecure     verify nothing (anyone on the way can read and change\n"
           "                         the session); --tls-pin still applies\n"
           "\n"
           "What to do (messages first, then files, then the network type):\n"
           "  -m, --message TEXT     send TEXT as a message (parameter 0), id 5\n"
           "  -b, --binary TEXT      send the bytes of TEXT as a binary message, id 300;\n"
           "                         the reference server echoes it back\n"
           "  -P, --priority N       priority 1 (first) to 4 (last) of the -m or -b just\n"
           "                         before; before any -m or -b: of all that follow,\n"
           "                         files included (default 2)\n"
           "  -i, --id ID            message id, placed like -P (text: 2-6, 11, 13-299,\n"
           "                         400-99999; binary: 300-399); a default id applies\n"
           "                         to the messages of its kind\n"
           "  -f, --file PATH        send the file as a multi-part transfer (id 10) with a\n"
           "                         progress bar, and check that it comes back whole\n"
           "      --network-type     print the network type (works without -H too)\n"
           "      --wait SECONDS     keep printing what arrives before closing\n"
           "  -s, --script FILE      run the steps of FILE instead (\"-\": standard input);\n"
           "                         one per line:\n"
           "                           message PRIORITY TEXT    message-id ID PRIORITY TEXT\n"
           "                           binary TEXT              results\n"
           "                           file PATH                network-type\n"
           "                           sleep MILLISECONDS       wait-drop\n"
           "                           say TEXT                 # comment\n"
           "\n"
           "Output:\n"
           "  -v, --verbose          print the library's trace lines (on standard error)\n"
           "  -h, --help             this text\n"
           "      --version          the version of the program and of the library, and stop\n"
           "\n"
           "Lines: \"->\" what the client sends, \"<-\" what comes back, \"!!\" connection\n"
           "events. Every package the library delivers is printed; transfer progress\n"
           "is drawn as a progress bar.\n"
           "\n"
           "Exit codes:\n"
           "  0  everything was sent, answered and (files) came back whole\n"
           "  1  other failure (the client could not start, wait-drop saw no drop)\n"
           "  2  bad arguments or script, or TLS files that cannot be used\n"
           "  3  server unreachable: the client gave up reconnecting (error 11; TLS\n"
           "     failures, error 15, count as failed connects), or no answer came\n"
           "     within the time-out\n"
           "  4  the server refused the log-in (or ended the session with an error)\n"
           "  5  the server refused a message (error 7)\n"
           "  6  a file transfer did not complete, or came back different\n"
           "\n"
           "Example:\n"
           "  transport-cli -H 127.0.0.1 -u demo -p secret -m \"hello\" -P 1 -f photo.jpg\n";
}

bool CheckMessageId(unsigned long id, bool binary, std::string* error) {
    if (binary) {
        if (id >= 300 && id <= 399) return true;
        *error = "binary messages have ids 300 to 399, not " + std::to_string(id);
        return false;
    }
    // The library gives 0, 1, 7-10 and 12 their own meaning, and 300-399 are
    // binary; ids wider than 5 digits do not fit a frame.
    const bool reserved = id <= 1 || (id >= 7 && id <= 10) || id == 12 || (id >= 300 && id <= 399);
    if (!reserved && id <= 99999) return true;
    *error = "message id " + std::to_string(id) +
             " cannot carry a text message (use 2-6, 11, 13-299 or 400-99999)";
    return false;
}

bool CheckPriority(long priority, std::string* error) {
    if (priority >= 1 && priority <= 4) return true;
    *error = "priority must be 1 (first) to 4 (last), not " + std::to_string(priority);
    return false;
}

bool CheckText(const std::string& text, bool binary, std::string* error) {
    const std::size_t limit = binary ? kMaxBinary : kMaxText;
    if (text.size() > limit) {
        *error = std::string(binary ? "binary" : "message") + " text of " +
                 std::to_string(text.size()) + " bytes is too long (at most " +
                 std::to_string(limit) + "; send larger data with -f)";
        return false;
    }
    std::string tag;
    if (!binary && HoldsFrameText(text, &tag)) {
        *error = "message text may not contain \"" + tag + "\" (it would end the frame)";
        return false;
    }
    return true;
}

bool CheckCredential(const std::string& what, const std::string& text, std::string* error) {
    if (text.size() > kMaxCredential) {
        *error = what + " is too long (at most " + std::to_string(kMaxCredential) + " characters)";
        return false;
    }
    // The log-in sends each byte i as (byte + i + 1) mod 128: bytes beyond
    // ASCII would lose their top bit, and some positions turn into a zero
    // byte or frame text that would cut the credential short.
    std::string encoded = text;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c > 0x7E) {
            *error = what + " may hold printable ASCII characters only";
            return false;
        }
        encoded[i] = static_cast<char>((c + i + 1) & 0x7F);
        if (encoded[i] == '\0') {
            *error = what + ": character " + std::to_string(i + 1) + " ('" + text[i] +
                     "') cannot travel in the log-in encoding";
            return false;
        }
    }
    std::string tag;
    if (HoldsFrameText(encoded, &tag)) {
        *error = what + " cannot travel: its log-in encoding contains \"" + tag + "\"";
        return false;
    }
    return true;
}

bool ParseCliOptions(int argc, const char* const* argv, CliOptions* options, std::string* error) {
    bool networkType = false;
    bool anythingToDo = false;
    long long waitSeconds = 0;
    int defaultPriority = kDefaultPriority;
    long long defaultId = -1;  // -1: the kind's own default
    // The -m or -b that a following -P or -i applies to; -1 before the first.
    long lastMessage = -1;
    std::vector<Step> messages;
    std::vector<Step> files;

    const std::vector<std::string> words = tools::Arguments(argc, argv, "HupmbPifst");
    const int count = static_cast<int>(words.size());
    for (int i = 0; i < count; ++i) {
        const std::string arg = words[static_cast<std::size_t>(i)];
        const char* value = i + 1 < count ? words[static_cast<std::size_t>(i) + 1].c_str() : nullptr;
        auto needValue = [&]() {
            if (value != nullptr) {
                ++i;
                return true;
            }
            *error = "option " + arg + " needs a value";
            return false;
        };
        long long number = 0;
        auto needNumber = [&](long long low, long long high, const char* what) {
            if (!needValue()) return false;
            if (ReadNumber(value, low, high, &number)) return true;
            *error = "option " + arg + ": '" + value + "' is not " + what;
            return false;
        };

        if (arg == "--") {
            *error = "unexpected operand '" + std::string(value != nullptr ? value : "") + "'";
            return false;
        } else if (arg == "-h" || arg == "--help") {
            options->help = true;
        } else if (arg == "--version") {
            options->version = true;
        } else if (arg == "-v" || arg == "--verbose") {
            options->verbose = true;
        } else if (arg == "-H" || arg == "--host") {
            if (!needValue()) return false;
            if (options->hosts.size() == kMaxHosts) {
                *error = "at most four hosts (-H) can be given";
                return false;
            }
            options->hosts.push_back(value);
        } else if (arg == "-u" || arg == "--user") {
            if (!needValue()) return false;
            options->user = value;
            options->userGiven = true;
        } else if (arg == "-p" || arg == "--password") {
            if (!needValue()) return false;
            options->password = value;
            options->passwordGiven = true;
        } else if (arg == "-m" || arg == "--message" || arg == "-b" || arg == "--binary") {
            if (!needValue()) return false;
            Step step;
            step.kind = (arg == "-m" || arg == "--message") ? Step::kMessage : Step::kBinary;
            step.text = value;
            step.priority = defaultPriority;
            const bool binary = step.kind == Step::kBinary;
            // A default id applies to the kind of message it fits.
            const bool binaryDefault = defaultId >= 300 && defaultId <= 399;
            step.id = (defaultId >= 0 && binaryDefault == binary)
                          ? static_cast<unsigned long>(defaultId)
                          : (binary ? kDefaultBinaryId : kDefaultMessageId);
            if (!CheckText(step.text, binary, error)) return false;
            messages.push_back(step);
            lastMessage = static_cast<long>(messages.size()) - 1;
            anythingToDo = true;
        } else if (arg == "-P" || arg == "--priority") {
            if (!needNumber(1, 4, "a priority from 1 (first) to 4 (last)")) return false;
            if (lastMessage >= 0) {
                messages[static_cast<std::size_t>(lastMessage)].priority = static_cast<int>(number);
            } else {
                defaultPriority = static_cast<int>(number);
            }
        } else if (arg == "-i" || arg == "--id") {
            if (!needNumber(0, 4294967295LL, "a message id")) return false;
            if (lastMessage >= 0) {
                messages[static_cast<std::size_t>(lastMessage)].id = static_cast<unsigned long>(number);
            } else {
                defaultId = number;
            }
        } else if (arg == "-f" || arg == "--file") {
            if (!needValue()) return false;
            Step step;
            step.kind = Step::kFile;
            step.text = value;
            step.priority = defaultPriority;
            files.push_back(step);
            anythingToDo = true;
        } else if (arg == "--network-type") {
            networkType = true;
        } else if (arg == "--wait") {
            if (!needNumber(0, 3600, "a number of seconds (0-3600)")) return false;
            waitSeconds = number;
        } else if (arg == "-t" || arg == "--timeout") {
            if (!needNumber(1, 3600, "a number of seconds (1-3600)")) return false;
            options->timeoutSeconds = static_cast<unsigned>(number);
        } else if (arg == "--retries") {
            if (!needNumber(0, 100, "a number from 0 to 100")) return false;
            options->retries = static_cast<unsigned>(number);
        } else if (arg == "-s" || arg == "--script") {
            if (!needValue()) return false;
            options->scriptPath = value;
            anythingToDo = true;
        } else if (arg == "--tls") {
            options->tls = true;
        } else if (arg == "--tls-ca" || arg == "--tls-cert" || arg == "--tls-key" ||
                   arg == "--tls-pin" || arg == "--tls-name") {
            if (!needValue()) return false;
            std::string& field = arg == "--tls-ca"     ? options->tlsCa
                                 : arg == "--tls-cert" ? options->tlsCert
                                 : arg == "--tls-key"  ? options->tlsKey
                                 : arg == "--tls-pin"  ? options->tlsPin
                                                       : options->tlsName;
            field = value;
            if (field.empty()) {
                *error = "option " + arg + " needs a value";
                return false;
            }
            if (arg == "--tls-pin" && !IsPin(field)) {
                *error = "option --tls-pin: '" + field +
                         "' is not 64 hex digits (the SHA-256 of the server's public key)";
                return false;
            }
            options->tls = true;
        } else if (arg == "--tls-insecure") {
            options->tls = true;
            options->tlsInsecure = true;
        } else if (arg == "--port-map") {
            // Not in --help: lets tests without root stand in for the fixed ports.
            if (!needValue()) return false;
            const std::string pair = value;
            const std::size_t equals = pair.find('=');
            long long from = 0;
            long long to = 0;
            if (equals == std::string::npos ||
                !ReadNumber(pair.substr(0, equals).c_str(), 1, 65535, &from) ||
                !ReadNumber(pair.substr(equals + 1).c_str(), 1, 65535, &to)) {
                *error = "option --port-map: '" + pair + "' is not PORT=PORT";
                return false;
            }
            options->portMap[static_cast<std::uint16_t>(from)] = static_cast<std::uint16_t>(to);
        } else {
            *error = "unknown argument '" + arg + "'";
            return false;
        }
    }
    if (options->help || options->version) return true;

    if (options->tlsCert.empty() != options->tlsKey.empty()) {
        *error = "--tls-cert and --tls-key go together (a client certificate and its key)";
        return false;
    }
    if (options->tlsInsecure && !options->tlsCa.empty()) {
        *error = "--tls-insecure verifies nothing: --tls-ca would be ignored";
        return false;
    }
    for (const Step& step : messages) {
        if (!CheckMessageId(step.id, step.kind == Step::kBinary, error)) return false;
    }
    if (!options->scriptPath.empty() && (!messages.empty() || !files.empty() || networkType)) {
        *error = "-s runs a script: put the messages, files and network-type in it";
        return false;
    }
    if (options->hosts.empty()) {
        if (anythingToDo || waitSeconds > 0 || options->userGiven || options->passwordGiven ||
            options->tls) {
            *error = "no server given: use -H HOST (up to four times)";
            return false;
        }
        if (!networkType) {
            *error = "nothing to do: give -H HOST -u USER -p PASSWORD, or --network-type";
            return false;
        }
    }
    for (std::size_t h = 0; h < options->hosts.size(); ++h) {
        const std::string& host = options->hosts[h];
        // The second and fourth entries of the parameter record hold 15 characters.
        const std::size_t limit = (h % 2 == 1) ? 15 : 255;
        if (host.empty() || host.size() > limit) {
            *error = "host " + std::to_string(h + 1) + " '" + host + "' " +
                     (host.empty() ? std::string("is empty")
                                   : "is too long (at most " + std::to_string(limit) +
                                         " characters" +
                                         (limit == 15 ? ": a dotted IPv4 address" : "") + ")");
            return false;
        }
    }
    if (!options->hosts.empty()) {
        if (!options->userGiven || !options->passwordGiven) {
            *error = "-u USER and -p PASSWORD are needed to log in";
            return false;
        }
        if (!CheckCredential("the user name", options->user, error) ||
            !CheckCredential("the password", options->password, error)) {
            return false;
        }
    }

    options->steps = messages;
    if (!messages.empty()) {
        Step results;
        results.kind = Step::kResults;
        options->steps.push_back(results);
    }
    options->steps.insert(options->steps.end(), files.begin(), files.end());
    if (networkType) {
        Step step;
        step.kind = Step::kNetworkType;
        options->steps.push_back(step);
    }
    if (waitSeconds > 0) {
        Step step;
        step.kind = Step::kSleep;
        step.ms = static_cast<unsigned long>(waitSeconds) * 1000;
        options->steps.push_back(step);
    }
    return true;
}

}  // namespace cli
