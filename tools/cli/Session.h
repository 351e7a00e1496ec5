#ifndef TRANSPORT_TOOLS_CLI_SESSION_H
#define TRANSPORT_TOOLS_CLI_SESSION_H

#include <chrono>
#include <functional>
#include <set>
#include <string>

#include <transport/NetClient.h>

#include "CliOptions.h"
#include "CliPlatform.h"
#include "Console.h"
#include "EventQueue.h"
#include "FileTransfer.h"

namespace cli {

// One run of the command-line client: open, log in, the steps in order,
// close. Packages and connection notices are handled on this (the main)
// thread as they come out of the event queue; the library's threads only
// fill it.
class Session {
public:
    Session(const CliOptions& options, Console& console);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Returns the exit code.
    int Run();

private:
    struct Transfer {
        bool active = false;
        FileToSend file;
        unsigned long parts = 0;
        bool done = false;
        bool failed = false;
        std::string problem;
        unsigned long sent = 0;      // parts the server has answered
        std::set<unsigned long> received;  // part numbers back so far
    };

    int LogIn();
    void SetUpTls();
    bool RunStep(const Step& step);
    void SendMessage(const Step& step);
    bool WaitForResults();
    bool SendFile(const Step& step);
    bool WaitForDrop();

    // Handles events until done() holds (true), something fatal happens or
    // the time-out passes (false). With idle, the time-out counts from the
    // last event, else from the call.
    bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout, bool idle);
    void Handle(const Event& event);
    void HandleMessage(const NetMessage& message);
    void HandleInformation(const Event& event);
    void HandleError(const Event& event);
    void Fail(int exitCode, const std::string& why);
    std::string Unreachable() const;

    const CliOptions& m_options;
    Console& m_console;
    EventQueue m_events;
    CliPlatform m_platform;
    CNetClient m_client;

    bool m_loggedIn = false;
    int m_fatal = kExitOk;          // set once something ends the session
    bool m_messageRefused = false;
    unsigned long m_pendingResults = 0;
    std::multiset<std::string> m_pendingEchoes;  // binary texts not yet echoed
    unsigned long m_drops = 0;
    unsigned long m_dropsAwaited = 0;  // drops that wait-drop steps have used up
    Transfer m_transfer;
    bool m_saying = false;  // the last step printed narration
    std::string m_tlsProblem;  // the last TLS failure, while no connect has failed since
};

}  // namespace cli

#endif
