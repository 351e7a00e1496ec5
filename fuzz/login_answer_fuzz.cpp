// The server's answer to the log-in (id 1) with any parameters. Properties:
// the stored log-in message takes the answer's second parameter, as it came,
// only when its own was empty; the application gets the answer once, with
// the second parameter decoded; the client is logged in, its counters are
// zeroed, the response event is set and the send thread is woken once per
// queued message not yet announced to it.
//
// Input: byte 0 sets the scene (bit 0 stored token empty, bit 1 log-in
// pending, bits 2-3 queued messages, bit 4 one of them already announced).
// The rest follows "<g44>1" in the parsed frame (its id is then forced to 1).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "FuzzSupport.h"
#include "message/Frame.h"

namespace {

std::string Decoded(const std::string& text) {
    std::string out = text;
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<char>((static_cast<unsigned char>(out[i]) - i - 1) & 0x7F);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const bool emptyToken = data[0] & 1;
    const bool pending = data[0] & 2;
    const int queued = (data[0] >> 2) & 3;
    const long announced = (data[0] & 16) && queued > 0 ? 1 : 0;

    fuzz::Packages().clear();
    fuzz::FuzzPlatform platform;
    fuzz::FuzzClient client(platform);
    client.CreateRunObjects();
    client.m_nConnType = CNetClient::CONNTYPE_HTTP;
    client.m_nReconCount = 3;
    client.m_nAttemptCount = 2;
    client.SetConnectionState(CNetClient::CONN_SOCKET_CONNECTED);
    const std::string storedToken = emptyToken ? "" : "pwd";
    client.m_pLoginMessage = fuzz::MakeMessage(1, 2, {"usr", storedToken, "", "7", "five", "six"});
    client.m_bLoginPending = pending;
    for (int i = 0; i < queued; ++i) {
        client.m_pOutputQueue->PushByPriority(fuzz::MakeMessage(50, 1 + i, {"queued"}));
    }
    client.m_lPrevSendCount = announced;

    const std::string frame =
        "<g44>1" + std::string(reinterpret_cast<const char*>(data + 1), size - 1) + "</g44>";
    NetMessage answer;
    if (!transport::ParseFrame(answer, frame.c_str())) return 0;
    answer.SetId(1);
    const std::string token = fuzz::TextOf(answer, 1);
    const bool hasToken = answer.GetParams().GetCount() >= 2;

    NetPackage package;
    client.DispatchReceived(answer, package);

    fuzz::Check(client.GetConnectionState() == CNetClient::CONN_CONNECTED, "not logged in");
    fuzz::Check(client.m_nReconCount == 0 && client.m_nAttemptCount == 0, "counters not zeroed");
    fuzz::Check(client.TakeResponse(), "the answer did not set the response event");
    fuzz::Check(!client.m_bLoginPending, "the log-in is still pending");
    fuzz::Check(client.m_nLastConnType == CNetClient::CONNTYPE_HTTP,
                "the connection type that worked was not kept");
    const long unannounced = queued - announced;
    fuzz::Check(client.TakeReleases() == (unannounced > 0 ? unannounced : 0),
                "the send thread was not woken once per unannounced message");
    char line[64];
    std::snprintf(line, sizeof(line), "Message in Send queue =%d", static_cast<int>(unannounced));
    fuzz::Check(platform.CountTraced(line) == (unannounced != 0 ? 1u : 0u),
                "the queued messages were not traced");

    const std::string stored = fuzz::StoredBytes(*client.m_pLoginMessage, 1);
    const std::string expectedStored = (emptyToken ? token : storedToken) + std::string(1, '\0');
    fuzz::Check(stored == expectedStored, "the stored token is not the answer's, as it came");
    fuzz::Check(client.m_pLoginMessage->GetParams().GetCount() == 6,
                "the stored log-in message lost parameters");

    const std::string decoded = Decoded(token);
    const std::string shown = decoded.substr(0, decoded.find('\0')).substr(0, 2599);
    bool traced = false;
    for (const std::string& l : platform.Lines()) traced = traced || l == shown;
    fuzz::Check(traced, "the decoded token was not traced");

    fuzz::Check(fuzz::Packages().size() == (pending ? 1u : 0u),
                "the answer reached the handler other than once while pending");
    if (pending) {
        const fuzz::Delivered& d = fuzz::Packages().front();
        fuzz::Check(d.kind == NetPackage::KIND_MESSAGE && d.id == 1, "not a log-in answer package");
        fuzz::Check(d.params.size() == answer.GetParams().GetCount(), "parameters lost");
        for (std::size_t i = 0; i < d.params.size(); ++i) {
            const std::string expected = i == 1 && hasToken
                                             ? decoded + std::string(1, '\0')
                                             : fuzz::StoredBytes(answer, static_cast<int>(i));
            fuzz::Check(d.params[i] == expected, "the application got another answer");
        }
    }

    // A second answer on the same connection reaches nobody and keeps the token.
    NetMessage again;
    transport::ParseFrame(again, frame.c_str());
    again.SetId(1);
    NetPackage second;
    client.DispatchReceived(again, second);
    fuzz::Check(fuzz::Packages().size() == (pending ? 1u : 0u), "a second answer was delivered");
    const std::string kept = fuzz::StoredBytes(*client.m_pLoginMessage, 1);
    fuzz::Check(kept == stored, "a second answer changed the stored token");
    return 0;
}
