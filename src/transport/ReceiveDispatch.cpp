// DispatchReceived: carries out what the dispatch table says a received
// message means to the client, to the send thread (the answer) and to the
// application (the handler).

#include <transport/NetClient.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "client/ClientInternals.h"
#include "message/PartsLedger.h"
#include "transport/Dispatch.h"

using transport::ReceivedAction;

void CNetClient::DispatchReceived(NetMessage& message, NetPackage& package) {
    const int first = std::atoi(transport::ParamText(message, 0).c_str());
    const ReceivedAction action = transport::ActionFor(message.GetId(), first);

    if (action.answer == ReceivedAction::kAnswerFirst) AnswerInFlight();
    switch (action.kind) {
        case ReceivedAction::kRefusal:
            SetError(package, static_cast<unsigned long>(first));
            Deliver(package);
            m_nLastConnType = m_nConnType.load();
            SetConnectionState(CONN_CLOSED);
            break;
        case ReceivedAction::kLoginAnswer:
            OnLoginAnswer(message, package);
            break;
        case ReceivedAction::kDeliveryResult:
            if (first == 0) {
                SetError(package, 7);
            } else {
                SetInformation(package, 1, 0, 0);
            }
            Deliver(package);
            break;
        case ReceivedAction::kUnpackage:
            UnPackageAndSetToInputQueue(&message);
            break;
        case ReceivedAction::kIgnore:
            break;
        case ReceivedAction::kDeliver:
            package.SetKind(NetPackage::KIND_MESSAGE);
            package.SetBody(message);
            Deliver(package);
            break;
    }
    if (action.answer == ReceivedAction::kAnswerLast) AnswerInFlight();
}

void CNetClient::OnLoginAnswer(NetMessage& message, NetPackage& package) {
    package.SetKind(NetPackage::KIND_MESSAGE);
    NetParam* reply =
        message.GetParams().GetCount() > 1 ? message.GetParams().GetNodeAt(1) : nullptr;
    const std::string encoded = transport::ParamText(message, 1);
    m_pInternals->outbox.AdoptLoginValue(encoded);
    if (reply != nullptr) {
        Decode(reinterpret_cast<char*>(reply->m_pData), static_cast<unsigned long>(encoded.size()));
    }
    char line[2600];
    std::snprintf(line, sizeof(line), "%s", transport::ParamText(message, 1).c_str());
    NetClientTrace(line);
    package.SetBody(message);

    SetConnectionState(CONN_CONNECTED);
    ZeroReconCount();
    m_nAttemptCount = 0;
    // Messages queued while not connected go now, one per answer, starting
    // with this one.
    AnswerInFlight();
    const int queued = m_pInternals->outbox.Count();
    if (queued != 0) {
        std::snprintf(line, sizeof(line), "Message in Send queue =%d", queued);
        NetClientTrace(line);
    }

    if (m_bLoginPending) Deliver(package);
    m_nLastConnType = m_nConnType.load();
    m_bLoginPending = false;
    ReportConnection(NetConnectionEvent::LOGGED_IN);
}
