// The application's two requests of a running client: Login stores the
// message that opens every connection; Send hands a message to the output queue.

#include <transport/NetClient.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "client/ClientInternals.h"
#include "client/EventSlots.h"
#include "message/Frame.h"
#include "message/MessageIds.h"

namespace {

const char* TextOrEmpty(const char* text) { return text != nullptr ? text : ""; }

// Appends a text parameter with its terminating zero byte counted.
void AddText(NetParamList& params, const char* text) {
    params.AddTail(text, static_cast<unsigned long>(std::strlen(text) + 1));
}

}  // namespace

bool CNetClient::Login(const char* szUser, const char* szPassword, const char* szParam3,
                       unsigned int nParam4, const char* szParam5, const char* szParam6) {
    if (!m_bOpened) return false;

    NetMessage message;
    message.SetId(1);
    message.SetPriority(2);
    m_bSocketConnected = false;

    const char* user = TextOrEmpty(szUser);
    char line[128];
    std::snprintf(line, sizeof(line), "Login User name = %s", user);
    NetClientTrace(line);

    NetParamList params;
    // The credentials travel transformed; the caller's texts stay as they are.
    for (const char* credential : {user, TextOrEmpty(szPassword)}) {
        AddText(params, credential);
        NetParam* stored = params.GetTail();
        Encode(reinterpret_cast<char*>(stored->m_pData), stored->m_nLength - 1);
    }
    AddText(params, TextOrEmpty(szParam3));
    char number[16];  // the whole "%d" text, whatever the value
    std::snprintf(number, sizeof(number), "%d", static_cast<int>(nParam4));
    AddText(params, number);
    AddText(params, TextOrEmpty(szParam5));
    AddText(params, TextOrEmpty(szParam6));

    message.SetParams(params);
    m_pInternals->outbox.SetLogin(static_cast<NetMessage*>(message.Clone()));

    ZeroReconCount();
    m_bLoginPending = true;
    m_pPlatform->SetEvent(m_hMainEvents[transport::kSlotAutoConnect]);
    return true;
}

unsigned int CNetClient::Send(const NetMessage* message) {
    NetClientTrace("Send to queue started");
    if (message == nullptr) {
        NetClientTrace("Send to queue finished");
        return m_nSentCount;
    }
    // Refused rather than dropped unnoticed: the count does not grow.
    char line[96];
    const int priority = message->GetPriority();
    if (priority < 1 || priority > 4) {
        std::snprintf(line, sizeof(line), "Send refused: priority %d is not 1 to 4", priority);
        NetClientTrace(line);
        return m_nSentCount;
    }
    const bool packaged = transport::IsPackagedOnSend(message->GetId());
    const int tagged = packaged ? -1 : transport::ParamWithTag(*message);
    if (tagged >= 0) {
        std::snprintf(line, sizeof(line), "Send refused: parameter %d holds a frame tag", tagged);
        NetClientTrace(line);
        return m_nSentCount;
    }
    std::vector<std::unique_ptr<NetMessage>> parts;
    std::unique_ptr<NetMessage> copy;
    if (packaged) {
        parts = m_pInternals->assembler.Package(*message);
        if (parts.empty()) return m_nSentCount;  // traced by the assembler
    } else {
        copy.reset(static_cast<NetMessage*>(message->Clone()));
    }
    const auto refusal = packaged ? m_pInternals->outbox.QueueAll(parts.data(), parts.size())
                                  : m_pInternals->outbox.QueueAll(&copy, 1);
    switch (refusal) {
        case transport::Outbox::Refusal::kNone:
            break;
        case transport::Outbox::Refusal::kFull:
            std::snprintf(line, sizeof(line), "Send refused: the output queue is full (%d messages)",
                          m_pInternals->outbox.Count());
            NetClientTrace(line);
            return m_nSentCount;
        case transport::Outbox::Refusal::kClosed:
            NetClientTrace("Send refused: the client is closed");
            return m_nSentCount;
    }
    ++m_nSentCount;
    NetClientTrace("Send to queue finished");
    return m_nSentCount;
}

int CNetClient::GetQueuedCount() { return m_pInternals->outbox.Count(); }
