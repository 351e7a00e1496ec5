// Bearer bring-up through the connection manager, and the words for its
// status values.

#include <transport/NetClient.h>

#include <cstdint>
#include <cstdio>

#include "client/EventSlots.h"

namespace {

// Any well-known public page: the manager picks the network that serves it.
constexpr char kBearerUrl[] = "http://www.example.com/";
constexpr std::uint32_t kReadyWaitMs = 3000;
constexpr std::uint32_t kGuidDestNetValid = 1;
constexpr std::uint32_t kNormalPriority = 0x8000;

struct StatusText {
    std::uint32_t status;
    const char* text;
    bool result;
};

constexpr StatusText kStatusTexts[] = {
    {0x10, "ConnMngrStatus: Successfully connected with Connection Manager.", true},
    {0x20, "ConnMngrStatus: The connection has been disconnected.", false},
    {0x21, "ConnMngrStatus: The connection failed and cannot be reestablished.", false},
    {0x22, "ConnMngrStatus: The user aborted the connection.", false},
    {0x23, "ConnMngrStatus: The connection can be made, but the connection itself is disabled.",
     false},
    {0x24, "ConnMngrStatus: No path to the destination could be found.", false},
    {0x25, "ConnMngrStatus: A path to the destination exists but is not presently available.",
     false},
    {0x26,
     "ConnMngrStatus: A voice call is in progress and is using resources that this connection "
     "requires.",
     false},
    {0x40, "ConnMngrStatus: The device is attempting to connect.", false},
    {0x41, "ConnMngrStatus: Another client is using resources that this connection requires.",
     false},
    {0x42,
     "ConnMngrStatus: The device is waiting for a task with a higher priority to connect to the "
     "network before connecting to the same network.",
     false},
    {0x80, "ConnMngrStatus: The connection is being brought down.", false},
    {0x81, "ConnMngrStatus: The device is aborting the connection attempt.", true},
};
constexpr char kUnknownStatusText[] = "ConnMngrStatus: The status is unknown.";

}  // namespace

bool CNetClient::AutoConnect() {
    if (m_hConnection != nullptr) {
        // A second Login: give up the connection we hold before asking again,
        // leaving slot 4 on a handle that stays valid.
        m_hMainEvents[transport::kSlotBearerStatus] = m_hMainEvents[transport::kSlotConnect];
        m_pPlatform->CmReleaseConnection(m_hConnection, 0);
    }
    m_hConnection = nullptr;
    m_bConnecting = true;

    transport::Guid network{};
    m_pPlatform->CmMapUrl(kBearerUrl, &network);

    transport::Handle ready = m_pPlatform->CmApiReadyEvent();
    if (ready != nullptr) {
        m_pPlatform->WaitOne(ready, kReadyWaitMs);
        m_pPlatform->CloseHandle(ready);
    }

    transport::ConnectionInfo info{};
    info.cbSize = sizeof(info);
    info.dwParams = kGuidDestNetValid;
    info.dwPriority = kNormalPriority;
    info.guidDestNet = network;

    transport::Handle connection = nullptr;
    if (m_pPlatform->CmEstablishConnection(info, &connection) != 0) {
        NetClientTrace("Could not configure connection with ConnectionManager");
        return false;
    }
    m_hConnection = connection;
    m_hMainEvents[transport::kSlotBearerStatus] = connection;

    char text[96];
    std::snprintf(
        text, sizeof(text), "Connecting to - {%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
        static_cast<unsigned>(network.Data1), static_cast<unsigned>(network.Data2),
        static_cast<unsigned>(network.Data3), network.Data4[0], network.Data4[1], network.Data4[2],
        network.Data4[3], network.Data4[4], network.Data4[5], network.Data4[6], network.Data4[7]);
    NetClientTrace(text);
    return true;
}

bool CNetClient::CheckConnManagerStatus(unsigned long status, bool bTrace) {
    const char* text = kUnknownStatusText;
    bool result = false;
    for (const StatusText& entry : kStatusTexts) {
        if (entry.status == status) {
            text = entry.text;
            result = entry.result;
            break;
        }
    }
    if (bTrace) NetClientTrace(text);
    return result;
}
