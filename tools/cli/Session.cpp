#include "Session.h"

#include <cstring>
#include <fstream>
#include <utility>

#include "PackageText.h"

namespace cli {
namespace {

using std::chrono::milliseconds;

enum : unsigned long { kIdLogin = 1, kIdPart = 10, kIdBinaryFirst = 300, kIdBinaryLast = 399 };
enum : unsigned long {
    kInfoDelivered = 1,
    kInfoPartArrived = 3,
    kErrorRefused = 7,
    kErrorGaveUp = 11,
    kErrorTls = 15,
};

bool IsBinary(unsigned long id) { return id >= kIdBinaryFirst && id <= kIdBinaryLast; }

// The message a delivery result names, as the library queued it: binary
// data is Base64 text by then, so only its size is shown.
std::string Sent(const NetMessage* message) {
    if (message == nullptr) return "a message";
    if (!IsBinary(message->GetId())) return Describe(*message, true);
    return "binary id=" + std::to_string(message->GetId()) +
           " priority=" + std::to_string(message->GetPriority()) + " (" +
           std::to_string(ParamText(*message, 0).size()) + " Base64 characters)";
}

}  // namespace

Session::Session(const CliOptions& options, Console& console)
    : m_options(options),
      m_console(console),
      m_platform(transport::DefaultPlatform(), console, m_events, options.verbose,
                 options.portMap),
      m_client(m_platform) {
    EventQueue::SetHandlerTarget(&m_events);
    m_client.SetNetHandler(&EventQueue::OnPackage);
}

Session::~Session() { EventQueue::SetHandlerTarget(nullptr); }

int Session::Run() {
    if (m_options.hosts.empty()) {
        // Only the network type was asked for: no connection needed.
        m_console.Line(std::string("   network type: ") + NetworkTypeName(m_client.GetNetworkType()));
        return kExitOk;
    }
    // Files are read before connecting, so that a wrong path costs no connection.
    for (const Step& step : m_options.steps) {
        FileToSend file;
        std::string error;
        if (step.kind == Step::kFile && !LoadFile(step.text, &file, &error)) {
            m_console.Error(error);
            return kExitUsage;
        }
    }
    const std::pair<const char*, const std::string*> tlsFiles[] = {
        {"--tls-ca", &m_options.tlsCa}, {"--tls-cert", &m_options.tlsCert},
        {"--tls-key", &m_options.tlsKey}};
    for (const auto& [option, path] : tlsFiles) {
        if (!path->empty() && !std::ifstream(*path)) {
            m_console.Error("cannot read the file '" + *path + "' (" + option + ")");
            return kExitUsage;
        }
    }

    int result = LogIn();
    if (result == kExitOk) {
        for (const Step& step : m_options.steps) {
            if (!RunStep(step)) break;
        }
        // Messages still without a result would be thrown away by the close.
        if (m_fatal == kExitOk && (m_pendingResults > 0 || !m_pendingEchoes.empty())) {
            WaitForResults();
        }
        result = m_fatal != kExitOk ? m_fatal : m_messageRefused ? kExitMessageRefused : kExitOk;
    }

    m_console.Line("-> closing");
    m_platform.SetClosing();
    m_client.Close(true);
    m_console.Line("   closed; exit code " + std::to_string(result));
    return result;
}

int Session::LogIn() {
    NetClientParams params;
    std::memset(&params, 0, sizeof(params));
    char* entries[] = {params.szHost1, params.szHost2, params.szHost3, params.szHost4};
    const std::size_t sizes[] = {sizeof(params.szHost1), sizeof(params.szHost2),
                                 sizeof(params.szHost3), sizeof(params.szHost4)};
    for (std::size_t i = 0; i < m_options.hosts.size() && i < 4; ++i) {
        std::strncpy(entries[i], m_options.hosts[i].c_str(), sizes[i] - 1);
    }
    params.nMaxReconCount = m_options.retries;
    params.dwReconDelay = 500;

    if (m_options.tls) SetUpTls();
    if (!m_client.Open(params)) {
        m_console.Error("the client could not start");
        return kExitFailure;
    }
    m_console.Line("-> log-in as \"" + Printable(m_options.user) + "\" at " + m_options.hosts[0] +
                   (m_options.hosts.size() > 1 ? " (and " + std::to_string(m_options.hosts.size() - 1) +
                                                     " more hosts)"
                                               : std::string()) +
                   (m_options.tls ? " over TLS" : ""));
    m_client.Login(m_options.user.c_str(), m_options.password.c_str(), nullptr, 0, "", "");

    const milliseconds timeout(m_options.timeoutSeconds * 1000ull);
    if (WaitUntil([this] { return m_loggedIn; }, timeout, false)) return kExitOk;
    if (m_fatal == kExitOk) {
        Fail(kExitUnreachable, "no answer to the log-in within " +
                                   std::to_string(m_options.timeoutSeconds) + " s" + Unreachable());
    }
    return m_fatal;
}

void Session::SetUpTls() {
    transport::TlsSettings settings;
    settings.serverName = m_options.tlsName;
    settings.caFile = m_options.tlsCa;
    settings.certFile = m_options.tlsCert;
    settings.keyFile = m_options.tlsKey;
    settings.pinSha256 = m_options.tlsPin;
    settings.insecureNoVerify = m_options.tlsInsecure;
    if (m_options.tlsInsecure) {
        // Said once here; the library's trace says it for every connection (-v).
        m_console.Error(m_options.tlsPin.empty()
                            ? "warning: --tls-insecure: the server is not verified; anyone on "
                              "the way can read and change the session"
                            : "warning: --tls-insecure: only the server's key is checked "
                              "(--tls-pin), not its certificate");
    }
    m_client.SetTls(&settings);
}

bool Session::RunStep(const Step& step) {
    // Consecutive narration lines form one paragraph.
    const bool saying = m_saying;
    m_saying = step.kind == Step::kSay;
    switch (step.kind) {
        case Step::kMessage:
        case Step::kBinary:
            SendMessage(step);
            return true;
        case Step::kResults:
            return WaitForResults();
        case Step::kFile:
            return SendFile(step);
        case Step::kNetworkType:
            m_console.Line(std::string("   network type: ") +
                           NetworkTypeName(m_client.GetNetworkType()));
            return true;
        case Step::kSleep:
            WaitUntil([] { return false; }, milliseconds(step.ms), false);
            return m_fatal == kExitOk;
        case Step::kWaitDrop:
            return WaitForDrop();
        case Step::kSay:
            if (!saying) m_console.Line("");
            m_console.Line("== " + step.text);
            return true;
    }
    return true;
}

void Session::SendMessage(const Step& step) {
    NetMessage message;
    message.SetId(step.id);
    message.SetPriority(step.priority);
    NetParamList params;
    if (step.kind == Step::kBinary) {
        // Binary data goes as its bytes, without a terminating zero.
        params.AddTail(step.text.data(), static_cast<unsigned long>(step.text.size()));
        m_pendingEchoes.insert(step.text);
    } else {
        params.AddTail(step.text.c_str(), static_cast<unsigned long>(step.text.size() + 1));
    }
    message.SetParams(params);
    ++m_pendingResults;
    m_client.Send(&message);
    m_console.Line(std::string("-> ") + (step.kind == Step::kBinary ? "binary " : "message ") +
                   Describe(message, true));
}

bool Session::WaitForResults() {
    const milliseconds timeout(m_options.timeoutSeconds * 1000ull);
    if (WaitUntil([this] { return m_pendingResults == 0 && m_pendingEchoes.empty(); }, timeout,
                  true)) {
        return true;
    }
    if (m_fatal == kExitOk) {
        Fail(kExitUnreachable, std::to_string(m_pendingResults) +
                                   " message(s) still without a delivery result after " +
                                   std::to_string(m_options.timeoutSeconds) + " s of silence");
    }
    return false;
}

bool Session::SendFile(const Step& step) {
    m_transfer = Transfer();
    std::string error;
    if (!LoadFile(step.text, &m_transfer.file, &error)) {
        Fail(kExitUsage, error);
        return false;
    }
    m_transfer.active = true;
    m_transfer.parts = ExpectedParts(static_cast<unsigned long>(m_transfer.file.bytes.size()));
    NetMessage message;
    BuildTransfer(m_transfer.file, step.priority, &message);
    m_client.Send(&message);
    m_console.Line("-> file \"" + Printable(m_transfer.file.name) + "\": " +
                   std::to_string(m_transfer.file.bytes.size()) + " bytes in " +
                   std::to_string(m_transfer.parts) + " parts (id 10)");

    const milliseconds timeout(m_options.timeoutSeconds * 1000ull);
    const bool finished =
        WaitUntil([this] { return m_transfer.done || m_transfer.failed; }, timeout, true);
    m_console.EndProgress();
    m_transfer.active = false;
    if (finished && m_transfer.done) {
        m_console.Line("<- file \"" + Printable(m_transfer.file.name) + "\" came back whole: " +
                       std::to_string(m_transfer.file.bytes.size()) + " bytes");
        return true;
    }
    if (m_fatal != kExitOk) return false;
    if (!m_transfer.failed) {
        m_transfer.problem = "no progress for " + std::to_string(m_options.timeoutSeconds) +
                             " s (the server answered " + std::to_string(m_transfer.sent) + " of " +
                             std::to_string(m_transfer.parts) + " parts, " +
                             std::to_string(m_transfer.received.size()) + " of " +
                             std::to_string(m_transfer.parts) + " came back)";
    }
    Fail(kExitTransferIncomplete, "transfer of \"" + Printable(m_transfer.file.name) +
                                      "\" incomplete: " + m_transfer.problem);
    return false;
}

bool Session::WaitForDrop() {
    // A drop that came before this step (while an earlier step was waiting)
    // counts too: whoever drops the connection need not know the client's pace.
    m_console.Line("   waiting for the connection to drop");
    const milliseconds timeout(m_options.timeoutSeconds * 1000ull);
    if (WaitUntil([this] { return m_drops > m_dropsAwaited; }, timeout, false)) {
        ++m_dropsAwaited;
        return true;
    }
    if (m_fatal == kExitOk) {
        Fail(kExitFailure, "the connection did not drop within " +
                               std::to_string(m_options.timeoutSeconds) + " s");
    }
    return false;
}

bool Session::WaitUntil(const std::function<bool()>& done, milliseconds timeout, bool idle) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (m_fatal == kExitOk && !done()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        Event event;
        if (!m_events.Pop(&event, std::chrono::duration_cast<milliseconds>(deadline - now) +
                                      milliseconds(1))) {
            continue;
        }
        Handle(event);
        if (idle) deadline = std::chrono::steady_clock::now() + timeout;
    }
    return m_fatal == kExitOk;
}

void Session::Handle(const Event& event) {
    switch (event.kind) {
        case Event::kConnecting:
            m_console.Line("!! connecting to " + event.text);
            break;
        case Event::kConnectFailed:
            m_tlsProblem.clear();
            m_console.Line("!! cannot connect: " + event.text);
            break;
        case Event::kTlsEstablished:
            m_console.Line("!! TLS established: " + event.text +
                           (!m_options.tlsInsecure       ? ", the server verified"
                            : m_options.tlsPin.empty() ? ", the server NOT verified"
                                                       : ", the server's key pinned"));
            break;
        case Event::kConnectionLost:
            ++m_drops;
            m_console.Line("!! connection lost: " + event.text +
                           "; the library reconnects and logs in again on its own");
            break;
        case Event::kMessage:
            if (event.message) HandleMessage(*event.message);
            break;
        case Event::kInformation:
            HandleInformation(event);
            break;
        case Event::kError:
            HandleError(event);
            break;
    }
}

void Session::HandleMessage(const NetMessage& message) {
    const unsigned long id = message.GetId();
    if (id == kIdLogin && !m_loggedIn) {
        m_loggedIn = true;
        m_console.Line("<- log-in accepted: session \"" + Printable(ParamText(message, 1)) + "\"");
        return;
    }
    if (id == kIdPart && m_transfer.active && ParamText(message, 0) == m_transfer.file.name) {
        // The last part completes the transfer instead of reporting progress.
        unsigned long index = 0;
        unsigned long total = 0;
        if (ReadPartText(ParamText(message, 1), &index, &total)) {
            m_transfer.received.insert(index);
            m_console.Progress("back", index, total);
        }
        m_console.EndProgress();
        std::string problem;
        if (SameData(m_transfer.file.bytes, ParamBytes(message, 2), &problem)) {
            m_transfer.done = true;
        } else {
            m_transfer.failed = true;
            m_transfer.problem = problem;
        }
        return;
    }
    if (IsBinary(id)) {
        // The data comes back with a zero byte after it.
        std::string data = ParamBytes(message, 0);
        if (!data.empty() && data.back() == '\0') data.pop_back();
        const auto pending = m_pendingEchoes.find(data);
        const bool expected = pending != m_pendingEchoes.end();
        if (expected) m_pendingEchoes.erase(pending);
        m_console.Line("<- binary id=" + std::to_string(id) + " \"" + Printable(data) + "\" (" +
                       std::to_string(data.size()) + " bytes" +
                       (expected ? ", the echo of what was sent)" : ")"));
        return;
    }
    m_console.Line("<- message " + Describe(message, false));
}

void Session::HandleInformation(const Event& event) {
    const NetMessage* about = event.message.get();
    if (event.code == kInfoDelivered && about != nullptr && about->GetId() == kIdPart) {
        unsigned long index = 0;
        unsigned long total = 0;
        if (ReadPartText(ParamText(*about, 1), &index, &total)) {
            m_transfer.sent = index;
            m_console.Progress("out ", index, total);
        }
        return;
    }
    if (event.code == kInfoDelivered) {
        if (m_pendingResults > 0) --m_pendingResults;
        m_console.Line("<- delivered: " + Sent(about));
        return;
    }
    if (event.code == kInfoPartArrived && event.value2 > 0) {
        m_transfer.received.insert(static_cast<unsigned long>(event.value1));
        m_console.Progress("back", static_cast<unsigned long>(event.value1),
                           static_cast<unsigned long>(event.value2));
        return;
    }
    m_console.Line("<- information " + std::to_string(event.code) + " (" +
                   std::to_string(event.value1) + ", " + std::to_string(event.value2) + ")" +
                   (about ? " about " + Describe(*about, true) : std::string()));
}

void Session::HandleError(const Event& event) {
    const NetMessage* about = event.message.get();
    if (event.code == kErrorRefused) {
        if (about != nullptr && about->GetId() == kIdPart) {
            m_transfer.failed = true;
            m_transfer.problem = "the server refused part " + ParamText(*about, 1);
            m_console.Line("<- REFUSED (error 7): part " + ParamText(*about, 1) + " of \"" +
                           Printable(ParamText(*about, 0)) + "\"");
            return;
        }
        if (m_pendingResults > 0) --m_pendingResults;
        m_messageRefused = true;
        m_console.Line("<- REFUSED (error 7): " + Sent(about));
        return;
    }
    if (event.code == kErrorTls) {
        // The library goes on to the next host or round as after a failed
        // connect; error 11 ends the walk. Settings that cannot load never
        // will, so they end the session at once.
        const std::string host = about != nullptr ? ParamText(*about, 1) : m_options.hosts[0];
        const std::string name = m_options.tlsName.empty() ? host : m_options.tlsName;
        const std::string line = about != nullptr ? TlsFailure(*about, name)
                                                  : "TLS failed on " + Printable(host);
        m_console.Line("<- error 15: " + line);
        if (about != nullptr && about->GetId() == transport::kErrTlsSetup) {
            Fail(kExitUsage, line + "; check --tls-ca, --tls-cert and --tls-key");
            return;
        }
        m_tlsProblem =
            "TLS: " + (about != nullptr ? TlsFailureWhat(about->GetId(), name) : "failed");
        return;
    }
    if (event.code == kErrorGaveUp) {
        m_console.Line("<- error 11: connection refused, the library gave up reconnecting");
        Fail(kExitUnreachable, "cannot reach the server at " + m_options.hosts[0] +
                                   " port 800" + Unreachable() + "; gave up after " +
                                   std::to_string(m_options.retries) +
                                   " reconnection round(s) (--retries)");
        return;
    }
    m_console.Line("<- error " + std::to_string(event.code) + " from the server");
    if (!m_loggedIn) {
        Fail(kExitLoginRefused, "the server refused the log-in of \"" + Printable(m_options.user) +
                                    "\" (error code " + std::to_string(event.code) + ")");
    } else {
        Fail(kExitLoginRefused, "the server ended the session (error code " +
                                    std::to_string(event.code) + ")");
    }
}

void Session::Fail(int exitCode, const std::string& why) {
    if (m_fatal != kExitOk) return;
    m_fatal = exitCode;
    m_console.Error(why);
}

std::string Session::Unreachable() const {
    const std::string problem =
        m_tlsProblem.empty() ? m_platform.LastConnectProblem() : m_tlsProblem;
    return problem.empty() ? std::string() : " (" + problem + ")";
}

}  // namespace cli
