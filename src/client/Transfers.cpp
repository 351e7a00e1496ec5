// The entry points of binary data: the assembler decides what a message
// becomes; these queue, deliver and answer what it says.

#include <transport/NetClient.h>

#include "client/ClientInternals.h"
#include "client/EventSlots.h"

namespace {

// Error code of a received binary message or transfer whose data is not
// Base64 (white space aside); the package names the message.
constexpr unsigned long kErrorNotBase64 = 13;

}  // namespace

void CNetClient::PackageAndSetToOutputQueue(const NetMessage* message) {
    if (message == nullptr) return;
    auto packaged = m_pInternals->assembler.Package(*message);
    m_pInternals->outbox.QueueAll(packaged.data(), packaged.size());
}

void CNetClient::UnPackageAndSetToInputQueue(NetMessage* message) {
    NetClientTrace("UnPackageAndSetToInputQueue");
    if (message == nullptr) return;
    transport::TransferAssembler::Received received =
        m_pInternals->assembler.Unpackage(*message);
    if (received.answers) AnswerInFlight();
    if (received.whole) {
        NetPackage package(NetPackage::KIND_MESSAGE, received.whole.release());
        Deliver(package);
    } else if (received.undecodable) {
        // Never dropped without a word: the application learns which message.
        NetError error;
        error.SetCode(kErrorNotBase64);
        error.SetAttachment(*message);
        NetPackage package;
        package.SetKind(NetPackage::KIND_ERROR);
        package.SetBody(error);
        Deliver(package);
    } else if (received.progress) {
        NetPackage package;
        SetInformation(package, 3, received.part, received.total);
        Deliver(package);
    }
}

void CNetClient::AnswerInFlight() {
    if (m_hSendEvents[transport::kSlotResponse] == nullptr) return;
    if (!m_pInternals->outbox.AnswersCurrentTransmission()) {
        NetClientTrace("Late answer, not taken for the message in flight");
        return;
    }
    SendStep(transport::SendTurns::kAnswered);
}
