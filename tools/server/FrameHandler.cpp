#include "FrameHandler.h"

#include <cstdlib>
#include <cstring>

#include <transport/NetFrame.h>
#include <transport/NetMessage.h>

#include "message/CredentialCodec.h"

namespace refserver {
namespace {

enum : unsigned long {
    kIdDisconnect = 0,
    kIdLogin = 1,
    kIdResult = 7,
    kIdPart = 10,
    kIdKeepAlive = 12,
    kIdBinaryFirst = 300,
    kIdBinaryLast = 399,
};

// Parts of a transfer the server accepts; 2048 Base64 characters each, so
// this is far beyond what the transfer store holds anyway.
constexpr unsigned long kMaxParts = 1000000;

std::vector<std::string> ParamsOf(const NetMessage& message) {
    std::vector<std::string> params;
    const NetParamList& list = message.GetParams();
    for (NetParam* node = list.GetHead(); node != nullptr; node = list.GetNext(node)) {
        void* data = nullptr;
        unsigned long length = 0;
        list.GetData(node, &data, &length);
        const char* text = static_cast<const char*>(data);
        params.emplace_back(text == nullptr ? std::string()
                                            : std::string(text, strnlen(text, length)));
    }
    return params;
}

std::string Param(const std::vector<std::string>& params, std::size_t index) {
    return index < params.size() ? params[index] : std::string();
}

// "i/n" split at the last "/"; both whole numbers, 1 <= i <= n <= kMaxParts.
bool ReadPartText(const std::string& text, unsigned long* index, unsigned long* total) {
    const std::size_t slash = text.rfind('/');
    if (slash == std::string::npos) return false;
    auto number = [](const std::string& digits, unsigned long* value) {
        if (digits.empty() || digits.size() > 9) return false;
        for (char c : digits) {
            if (c < '0' || c > '9') return false;
        }
        *value = std::strtoul(digits.c_str(), nullptr, 10);
        return true;
    };
    return number(text.substr(0, slash), index) && number(text.substr(slash + 1), total) &&
           *index >= 1 && *index <= *total && *total <= kMaxParts;
}

std::string Quoted(const std::string& text) { return "\"" + EventLog::Printable(text) + "\""; }

}  // namespace

std::string MakeFrame(unsigned long id, const std::vector<std::string>& params) {
    std::string frame = "<g44>" + std::to_string(id);
    for (const std::string& param : params) frame += "<p>" + param + "</p>";
    return frame + "</g44>";
}

void FrameHandler::Log(const Peer& peer, const std::string& text) {
    m_log.Line("conn " + std::to_string(peer.id) + " " + text);
}

FrameHandler::Verdict FrameHandler::Handle(Peer& peer, const std::string& frame,
                                           std::vector<std::string>* answers) {
    ++peer.frames;
    if (m_options.dropAfter != 0 && peer.frames >= m_options.dropAfter) {
        Log(peer, "dropped at frame " + std::to_string(peer.frames) + " (--drop-after)");
        return kDrop;
    }

    NetMessage message;
    if (!transport::ParseFrame(message, frame.c_str())) {
        Log(peer, "ignored a malformed frame " + Quoted(frame));
        return kKeep;
    }
    const unsigned long id = message.GetId();
    const std::vector<std::string> params = ParamsOf(message);
    // Silent mode: everything is read and logged, nothing is answered.
    std::vector<std::string> discarded;
    std::vector<std::string>* out = m_options.silent ? &discarded : answers;
    const std::string silentNote = m_options.silent ? " (silent: not answered)" : "";

    if (id == kIdDisconnect) {
        Log(peer, "disconnect " + Quoted(Param(params, 0)));
    } else if (id == kIdLogin) {
        Login(peer, params, out);
    } else if (id == kIdKeepAlive) {
        out->push_back(MakeFrame(kIdKeepAlive, {"Keep-Alive"}));
        Log(peer, "keep-alive -> answered" + silentNote);
    } else if (id == kIdPart) {
        Part(peer, frame, params, out);
    } else if (id >= kIdBinaryFirst && id <= kIdBinaryLast) {
        out->push_back(MakeFrame(kIdResult, {"1"}));
        out->push_back(frame);
        Log(peer, "binary id=" + std::to_string(id) + " (" + std::to_string(Param(params, 0).size()) +
                      " Base64 characters) -> result 1, echoed" + silentNote);
    } else {
        const bool refused = m_options.refuseId >= 0 &&
                             id == static_cast<unsigned long>(m_options.refuseId);
        out->push_back(MakeFrame(kIdResult, {refused ? "0" : "1"}));
        Log(peer, "msg id=" + std::to_string(id) + " text=" + Quoted(Param(params, 0)) +
                      (refused ? " -> result 0 (refused)" : " -> result 1") + silentNote);
    }
    return kKeep;
}

void FrameHandler::Login(Peer& peer, const std::vector<std::string>& params,
                         std::vector<std::string>* answers) {
    std::string user = Param(params, 0);
    transport::DecodeCredential(user.data(), static_cast<unsigned long>(user.size()));
    peer.user = user;
    const std::string who = "login user=" + Quoted(user);
    const std::string silentNote = m_options.silent ? " (silent: not answered)" : "";

    if (m_options.refuseLoginCode >= 0) {
        const std::string code = std::to_string(m_options.refuseLoginCode);
        answers->push_back(MakeFrame(kIdDisconnect, {code}));
        Log(peer, who + " -> refused with code " + code + silentNote);
        return;
    }
    const std::string session = "session-" + std::to_string(++m_sessions);
    std::string encoded = session;
    transport::EncodeCredential(encoded.data(), static_cast<unsigned long>(encoded.size()));
    answers->push_back(MakeFrame(kIdLogin, {"1", encoded}));
    Log(peer, who + " -> " + session + silentNote);
}

void FrameHandler::Part(Peer& peer, const std::string& frame,
                        const std::vector<std::string>& params,
                        std::vector<std::string>* answers) {
    const std::string name = Param(params, 0);
    const std::string partText = Param(params, 1);
    unsigned long index = 0;
    unsigned long total = 0;
    if (!ReadPartText(partText, &index, &total)) {
        answers->push_back(MakeFrame(kIdResult, {"0"}));
        Log(peer, "part of " + Quoted(name) + " with a bad part text " + Quoted(partText) +
                      " -> result 0");
        return;
    }
    const std::string owner = peer.user.empty() ? "conn " + std::to_string(peer.id) : peer.user;
    TransferStore::Outcome outcome = m_transfers.Add(owner, name, index, total, frame);
    for (const std::string& evicted : outcome.evicted) {
        Log(peer, "gave up the unfinished transfer " + Quoted(evicted) + " to make room");
    }
    if (outcome.kind == TransferStore::Outcome::kRefused) {
        answers->push_back(MakeFrame(kIdResult, {"0"}));
        Log(peer, "part " + partText + " of " + Quoted(name) + " -> result 0 (transfer too large)");
        return;
    }
    answers->push_back(MakeFrame(kIdResult, {"1"}));

    if (outcome.kind == TransferStore::Outcome::kStored) {
        if (index == 1) {
            Log(peer, "transfer " + Quoted(name) + " started: " + std::to_string(total) + " parts");
        } else if (m_options.verbose) {
            Log(peer, "part " + partText + " of " + Quoted(name) + " -> result 1");
        }
        return;
    }

    std::size_t echoed = 0;
    std::string note;
    for (std::size_t i = 0; i < outcome.frames.size(); ++i) {
        unsigned long number = 0;
        unsigned long count = 0;
        NetMessage part;
        if (m_options.losePart != 0 && transport::ParseFrame(part, outcome.frames[i].c_str()) &&
            ReadPartText(Param(ParamsOf(part), 1), &number, &count) &&
            number == m_options.losePart) {
            note = ", part " + std::to_string(number) + " left out (--lose-part)";
            continue;
        }
        answers->push_back(outcome.frames[i]);
        ++echoed;
    }
    Log(peer, "transfer " + Quoted(name) + " complete: " + std::to_string(outcome.received) + "/" +
                  std::to_string(total) + " parts received, " + std::to_string(echoed) +
                  " echoed back" + note);
}

}  // namespace refserver
