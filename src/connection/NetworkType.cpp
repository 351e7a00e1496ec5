// Which kind of network carries the client, and the Internet probe run on
// cellular networks before the client's own socket is opened.

#include <transport/NetClient.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The remote-access listing holds at most this many connections.
constexpr std::size_t kMaxRemoteConnections = 20;
constexpr char kCableDevice[] = "Serial on USB";
constexpr char kCellularDevice[] = "Cellular Line";

constexpr char kProbeAgent[] = "Mozila/1.0";
constexpr char kProbeHeaders[] = "Content-Type: text/*\r\n";
constexpr std::uint16_t kProbePort = 80;  // the port written in the URL is not used
constexpr std::uint32_t kProbeSendTimeoutMs = 5000;
constexpr std::size_t kProbeChunk = 3200;
constexpr std::size_t kUrlLimit = 256;
// The error a URL without a host name reports (invalid URL).
constexpr int kInvalidUrlError = 12005;

// Host and path of a URL; the scheme is optional and user information, the
// port and a fragment are dropped. False when no host name is found.
bool SplitUrl(const std::string& url, std::string* host, std::string* path) {
    std::size_t start = 0;
    std::size_t scheme = url.find("://");
    if (scheme != std::string::npos && url.find_first_of("/?#") > scheme) start = scheme + 3;
    std::size_t end = url.find_first_of("/?#", start);
    if (end == std::string::npos) end = url.size();

    std::string authority = url.substr(start, end - start);
    std::size_t at = authority.rfind('@');
    if (at != std::string::npos) authority.erase(0, at + 1);
    if (!authority.empty() && authority[0] == '[') {
        std::size_t close = authority.find(']');
        *host = close == std::string::npos ? std::string() : authority.substr(0, close + 1);
    } else {
        *host = authority.substr(0, authority.find(':'));
    }
    if (host->empty()) return false;

    std::string rest = url.substr(end);
    std::size_t fragment = rest.find('#');
    if (fragment != std::string::npos) rest.erase(fragment);
    *path = (rest.empty() || rest[0] != '/') ? "/" + rest : rest;
    return true;
}

// How the trace names a failed probe step.
const char* StepName(const std::string& step) {
    if (step == "InternetOpen") return "InetrentOpen";
    if (step == "InternetCrackUrl" || step == "InternetConnect" || step == "HttpOpenRequest" ||
        step == "InternetSetOption" || step == "InternetReadFile") {
        return step.c_str();
    }
    return "HttpSendRequest";
}

}  // namespace

enNETTYPE CNetClient::GetNetworkType() {
    std::vector<transport::RemoteConnection> connections;
    if (!m_pPlatform->EnumRemoteConnections(&connections)) return NETTYPE_WIFI;
    if (connections.empty()) {
        NetClientTrace("Connection type: WiFi");
        return NETTYPE_WIFI;
    }
    if (connections.size() > kMaxRemoteConnections) connections.resize(kMaxRemoteConnections);

    enNETTYPE result = NETTYPE_WIFI;
    for (const transport::RemoteConnection& connection : connections) {
        if (connection.connectionState != transport::kRasConnected) continue;
        // The desktop cable link wins over everything listed after it.
        if (connection.deviceName == kCableDevice) {
            NetClientTrace("Connection type: ActivSync");
            return NETTYPE_ACTIVESYNC;
        }
        char text[501];
        std::snprintf(text, sizeof(text), "Connection type: %s - Connected",
                      connection.deviceName.c_str());
        NetClientTrace(text);
        if (connection.deviceName == kCellularDevice) result = NETTYPE_CELLULAR;
    }
    return result;
}

bool CNetClient::BrowseInet() {
    char target[kUrlLimit + 1];
    std::snprintf(target, sizeof(target), "%.*s",
                  static_cast<int>(sizeof(m_clientParams.szBrowseUrl)), m_clientParams.szBrowseUrl);

    char text[kProbeChunk + 64];
    std::snprintf(text, sizeof(text), "***Browse Internet Start: Requesting %s***", target);
    NetClientTrace(text);

    // A bare address gets the page at its root.
    std::string url = target;
    if (m_pPlatform->InetAddr(target) != transport::kInaddrNone) url = "http://" + url + "/";

    transport::HttpProbeRequest request;
    if (!SplitUrl(url, &request.host, &request.path)) {
        std::snprintf(text, sizeof(text), "%s error, code=%d", "InternetCrackUrl",
                      kInvalidUrlError);
        NetClientTrace(text);
        return false;
    }
    request.port = kProbePort;
    request.agent = kProbeAgent;
    request.extraHeaders = kProbeHeaders;
    request.sendTimeoutMs = kProbeSendTimeoutMs;

    std::string body;
    int error = 0;
    std::string step;
    bool ok = m_pPlatform->HttpGet(request, &body, &error, &step);
    bool readFailed = !ok && step == "InternetReadFile";
    if (!ok && !readFailed) {
        // Steps after the connection traced its success before they failed.
        if (step == "HttpOpenRequest" || step == "InternetSetOption" || step == "HttpSendRequest") {
            NetClientTrace("InternetConnect success");
        }
        std::snprintf(text, sizeof(text), "%s error, code=%d", StepName(step), error);
        NetClientTrace(text);
        return false;
    }

    NetClientTrace("InternetConnect success");
    NetClientTrace("HttpSendRequest successfully");
    std::snprintf(text, sizeof(text), "InternetQueryDataAvailable dwSize=%d",
                  static_cast<int>(body.size()));
    NetClientTrace(text);
    for (std::size_t offset = 0; offset < body.size(); offset += kProbeChunk) {
        std::size_t length = std::min(kProbeChunk, body.size() - offset);
        std::memcpy(text, body.data() + offset, length);
        text[length] = '\0';
        NetClientTrace(text);
    }
    if (readFailed) {
        std::snprintf(text, sizeof(text), "%s error, code=%d", StepName(step), error);
        NetClientTrace(text);
    }
    return true;
}
