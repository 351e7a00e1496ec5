// SetError and SetInformation: fill a package with an error or information
// record; the caller delivers it.

#include <transport/NetClient.h>

#include <mutex>

#include "client/MessageQueue.h"

namespace {

constexpr unsigned long kErrorRefused = 7;
constexpr unsigned long kInformationDelivered = 1;

}  // namespace

void CNetClient::SetError(NetPackage& package, unsigned long code) {
    package.SetKind(NetPackage::KIND_ERROR);
    NetError error;
    error.SetCode(code);
    if (code == kErrorRefused && m_pOutputQueue != nullptr) {
        // The message in flight belongs to the output queue: Close(true) may
        // destroy it, so it is copied only under the queue's lock.
        std::lock_guard<std::mutex> lock(m_pOutputQueue->Mutex());
        if (m_pSendingMessage != nullptr) error.SetAttachment(*m_pSendingMessage);
    }
    package.SetBody(error);
}

void CNetClient::SetInformation(NetPackage& package, unsigned long code, int value1,
                                int value2) {
    package.SetKind(NetPackage::KIND_INFORMATION);
    NetInformation information;
    information.SetCode(code);
    if (code == kInformationDelivered && m_pOutputQueue != nullptr) {
        std::lock_guard<std::mutex> lock(m_pOutputQueue->Mutex());
        if (m_pSendingMessage != nullptr) information.SetAttachment(*m_pSendingMessage);
    }
    information.SetValues(value1, value2);
    package.SetBody(information);
}
