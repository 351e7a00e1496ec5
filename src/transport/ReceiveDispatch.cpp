// DispatchReceived: what each received message id means to the client, to
// the send thread (the response event) and to the application (the handler).

#include <transport/NetClient.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "client/ClientInternals.h"
#include "client/MessageQueue.h"

namespace {

enum : unsigned long {
    kIdRefusal = 0,
    kIdLoginReply = 1,
    kIdDeliveryResult = 7,
    kIdTransfer = 8,
    kIdBlock = 9,
    kIdObjectPart = 10,
    kIdKeepAliveReply = 12,
    kIdBinaryFirst = 300,
    kIdBinaryEnd = 400,
};

// A parameter's text: its bytes up to the first zero; empty when the
// message has no such parameter.
std::string ParamText(const NetParam* param) {
    if (param == nullptr || param->m_pData == nullptr) return std::string();
    const char* text = reinterpret_cast<const char*>(param->m_pData);
    return std::string(text, strnlen(text, param->m_nLength));
}

NetParam* ParamAt(NetMessage& message, unsigned long index) {
    if (index >= message.GetParams().GetCount()) return nullptr;
    return message.GetParams().GetNodeAt(static_cast<int>(index));
}

bool IsEmptyText(const NetParam* param) {
    return param->m_pData == nullptr || param->m_nLength == 0 || param->m_pData[0] == 0;
}

}  // namespace

void CNetClient::DispatchReceived(NetMessage& message, NetPackage& package) {
    const unsigned long id = message.GetId();
    const int first = std::atoi(ParamText(ParamAt(message, 0)).c_str());
    auto respond = [this] {
        if (m_hSendEvents[0] == nullptr) return;
        if (!m_pInternals->AnswersCurrentTransmission()) {
            NetClientTrace("Late answer, not taken for the message in flight");
            return;
        }
        m_pPlatform->SetEvent(m_hSendEvents[0]);
    };
    auto copyIntoPackage = [&] {
        package.SetKind(NetPackage::KIND_MESSAGE);
        package.SetBody(message);
    };

    switch (id) {
        case kIdRefusal:
            SetError(package, static_cast<unsigned long>(first));
            Deliver(package);
            m_nLastConnType = m_nConnType.load();
            SetConnectionState(CONN_CLOSED);
            return;

        case kIdLoginReply: {
            package.SetKind(NetPackage::KIND_MESSAGE);
            NetParam* reply = ParamAt(message, 1);
            const std::string encoded = ParamText(reply);
            {
                // Later log-ins send the value in the form the server gave it.
                std::lock_guard<std::mutex> lock(m_pInternals->loginMutex);
                NetParam* stored = m_pLoginMessage != nullptr ? ParamAt(*m_pLoginMessage, 1)
                                                              : nullptr;
                if (stored != nullptr && IsEmptyText(stored)) {
                    m_pLoginMessage->GetParams().SetData(
                        stored, encoded.c_str(), static_cast<unsigned long>(encoded.size() + 1));
                }
            }
            if (reply != nullptr) {
                Decode(reinterpret_cast<char*>(reply->m_pData),
                       static_cast<unsigned long>(encoded.size()));
            }
            char line[2600];
            std::snprintf(line, sizeof(line), "%s", ParamText(reply).c_str());
            NetClientTrace(line);
            package.SetBody(message);

            SetConnectionState(CONN_CONNECTED);
            ZeroReconCount();
            m_nAttemptCount = 0;
            respond();

            // Messages queued while not connected were announced to a send
            // thread that could not serve them: announce them again.
            const long unannounced = m_pOutputQueue->GetItemCount() - m_lPrevSendCount.load();
            if (unannounced != 0) {
                std::snprintf(line, sizeof(line), "Message in Send queue =%d",
                              static_cast<int>(unannounced));
                NetClientTrace(line);
            }
            if (unannounced > 0) ReleaseSendSemaphore(unannounced);

            if (m_bLoginPending) Deliver(package);
            m_nLastConnType = m_nConnType.load();
            m_bLoginPending = false;
            return;
        }

        case 2:
        case 3:
            copyIntoPackage();
            respond();
            Deliver(package);
            return;

        case 4:
            copyIntoPackage();
            if (first != 3) respond();
            Deliver(package);
            return;

        case 5:
        case 6:
            copyIntoPackage();
            Deliver(package);
            return;

        case kIdDeliveryResult:
            if (first == 0) {
                SetError(package, 7);
            } else {
                SetInformation(package, 1, 0, 0);
            }
            Deliver(package);
            respond();
            return;

        case kIdTransfer:
            if (first == 4) {
                UnPackageAndSetToInputQueue(&message);
            } else {
                copyIntoPackage();
                respond();
                Deliver(package);
            }
            return;

        case kIdBlock:
            if (first == 2) {
                UnPackageAndSetToInputQueue(&message);
                respond();
            } else {
                copyIntoPackage();
                Deliver(package);
                respond();
            }
            return;

        case kIdObjectPart:
            UnPackageAndSetToInputQueue(&message);
            return;

        case kIdKeepAliveReply:
            return;

        default:
            if (id >= kIdBinaryFirst && id < kIdBinaryEnd) {
                UnPackageAndSetToInputQueue(&message);
            } else {
                copyIntoPackage();
                Deliver(package);
            }
            return;
    }
}
