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
        transport::AddText(params, credential);
        NetParam* stored = params.GetTail();
        Encode(reinterpret_cast<char*>(stored->m_pData), stored->m_nLength - 1);
    }
    using transport::AddText;
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
    TrySend(message);
    return m_nSentCount;
}

int CNetClient::TrySend(const NetMessage* message) {
    NetClientTrace("Send to queue started");
    if (message == nullptr) {
        NetClientTrace("Send to queue finished");
        return SEND_NO_MESSAGE;
    }
    // Refused rather than dropped unnoticed: the count does not grow.
    char line[96];
    const int priority = message->GetPriority();
    if (priority < 1 || priority > 4) {
        std::snprintf(line, sizeof(line), "Send refused: priority %d is not 1 to 4", priority);
        NetClientTrace(line);
        return SEND_BAD_PRIORITY;
    }
    const bool packaged = transport::IsPackagedOnSend(message->GetId());
    const int tagged = packaged ? -1 : transport::ParamWithTag(*message);
    if (tagged >= 0) {
        std::snprintf(line, sizeof(line), "Send refused: parameter %d holds a frame tag", tagged);
        NetClientTrace(line);
        return SEND_FRAME_TAG;
    }
    std::vector<std::unique_ptr<NetMessage>> parts;
    if (packaged) {
        parts = m_pInternals->assembler.Package(*message);
        if (parts.empty()) return SEND_NO_MEMORY;  // traced by the assembler
    } else {
        parts.emplace_back(static_cast<NetMessage*>(message->Clone()));
    }
    std::vector<std::unique_ptr<NetMessage>> dropped;
    const auto refusal = m_pInternals->outbox.QueueAll(parts.data(), parts.size(), &dropped, false);
    for (const std::unique_ptr<NetMessage>& gone : dropped) ReportDropped(*gone);
    switch (refusal) {
        case transport::Outbox::Refusal::kNone:
            break;
        case transport::Outbox::Refusal::kFull:
            std::snprintf(line, sizeof(line), "Send refused: the output queue is full (%d messages)",
                          m_pInternals->outbox.Count());
            NetClientTrace(line);
            return SEND_QUEUE_FULL;
        case transport::Outbox::Refusal::kClosed:
            NetClientTrace("Send refused: the client is closed");
            return SEND_CLOSED;
    }
    ++m_nSentCount;
    // Written now when the line is free; otherwise its answer's thread sends it.
    SendStep(transport::SendTurns::kWork);
    NetClientTrace("Send to queue finished");
    return SEND_QUEUED;
}

void CNetClient::ReportDropped(const NetMessage& message) {
    char line[96];
    std::snprintf(line, sizeof(line), "Send: queued message %lu dropped for room", message.GetId());
    NetClientTrace(line);
    NetError error;
    error.SetCode(14);
    error.SetAttachment(message);
    NetPackage package;
    package.SetKind(NetPackage::KIND_ERROR);
    package.SetBody(error);
    Deliver(package);
}

int CNetClient::GetQueuedCount() { return m_pInternals->outbox.Count(); }

std::size_t CNetClient::GetQueuedBytes() { return m_pInternals->outbox.Bytes(); }

void CNetClient::SetQueueLimit(int messages, std::size_t bytes, int policy) {
    m_pInternals->outbox.SetLimit(static_cast<std::size_t>(messages < 1 ? 1 : messages), bytes,
                                  policy == QUEUE_DROP_OLDEST);
}
