#ifndef TRANSPORT_TOOLS_CLI_CLI_OPTIONS_H
#define TRANSPORT_TOOLS_CLI_CLI_OPTIONS_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace cli {

// Exit codes; scripts rely on them (they are listed in --help).
enum ExitCode {
    kExitOk = 0,
    kExitFailure = 1,             // anything else (the client could not start, ...)
    kExitUsage = 2,               // bad arguments or script
    kExitUnreachable = 3,         // error 11, or no log-in answer / no answer in time
    kExitLoginRefused = 4,        // the server refused the log-in (error package)
    kExitMessageRefused = 5,      // a message was refused (error 7)
    kExitTransferIncomplete = 6,  // a file did not come back whole
};

// One thing the session does, in order.
struct Step {
    enum Kind {
        kMessage,      // queue a text message (id, priority, text)
        kBinary,       // queue a binary message (id 300-399), echoed by the server
        kResults,      // wait until every queued message has its delivery result
        kFile,         // send a file as a multi-part transfer and wait for it to come back
        kNetworkType,  // print the network type
        kSleep,        // go on printing what arrives for ms milliseconds
        kWaitDrop,     // wait until the connection drops
        kSay,          // print text (narration in scripts)
    };
    Kind kind = kMessage;
    unsigned long id = 0;
    int priority = 2;
    std::string text;  // message or binary text, file path, narration
    unsigned long ms = 0;
};

struct CliOptions {
    std::vector<std::string> hosts;
    std::string user;
    std::string password;
    bool userGiven = false;
    bool passwordGiven = false;
    std::vector<Step> steps;
    std::string scriptPath;  // "-" reads the script from standard input
    bool verbose = false;
    bool help = false;
    bool version = false;
    unsigned timeoutSeconds = 10;
    unsigned retries = 2;
    // Connects to the key port go to the mapped port (the client's ports are fixed).
    std::map<std::uint16_t, std::uint16_t> portMap;
    // TLS: on with --tls or any other --tls-* option; empty strings are unset.
    bool tls = false;
    std::string tlsCa;
    std::string tlsCert;
    std::string tlsKey;
    std::string tlsPin;
    std::string tlsName;
    bool tlsInsecure = false;
};

constexpr unsigned long kDefaultMessageId = 5;
constexpr unsigned long kDefaultBinaryId = 300;
constexpr int kDefaultPriority = 2;

// Reads the command line. False with a one-line reason when it is not
// usable; the options are complete and checked otherwise (except that files
// are read, and the script parsed, later).
bool ParseCliOptions(int argc, const char* const* argv, CliOptions* options, std::string* error);

// Checks that hold for steps from the command line and from scripts alike.
bool CheckMessageId(unsigned long id, bool binary, std::string* error);
bool CheckPriority(long priority, std::string* error);
bool CheckText(const std::string& text, bool binary, std::string* error);
bool CheckCredential(const std::string& what, const std::string& text, std::string* error);

// The --help text.
const char* CliUsage();

}  // namespace cli

#endif
