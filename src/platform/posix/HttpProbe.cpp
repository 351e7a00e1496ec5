// The Internet probe: one plain HTTP/1.0 GET, read to the end, through
// libcurl. Failures name the step that failed the way the client traces
// them: the connection itself, or the request.

#include <curl/curl.h>

#include <algorithm>
#include <mutex>
#include <string>

#include "platform/posix/PosixPlatform.h"

namespace transport {
namespace posix {
namespace {

// The probe's answer is only traced: keep a bounded part of a huge page.
constexpr std::size_t kMaxBodyBytes = 1u << 20;
// The whole exchange may take this many send time-outs.
constexpr long kTotalTimeoutFactor = 4;
constexpr std::uint32_t kDefaultSendTimeoutMs = 5000;

std::size_t AppendBody(char* data, std::size_t size, std::size_t count, void* target) {
    const std::size_t bytes = size * count;
    auto* body = static_cast<std::string*>(target);
    if (body != nullptr && body->size() < kMaxBodyBytes) {
        body->append(data, std::min(bytes, kMaxBodyBytes - body->size()));
    }
    return bytes;  // keep reading to the end either way
}

bool IsConnectFailure(CURLcode code, CURL* curl) {
    switch (code) {
        case CURLE_URL_MALFORMAT:
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_CONNECT:
            return true;
        case CURLE_OPERATION_TIMEDOUT: {
            // Timed out before the connection stood, or waiting for the answer.
            curl_off_t connectTime = 0;
            return curl_easy_getinfo(curl, CURLINFO_CONNECT_TIME_T, &connectTime) == CURLE_OK &&
                   connectTime == 0;
        }
        default:
            return false;
    }
}

// Header lines of text, split at CR LF; empty lines are dropped.
curl_slist* AddHeaderLines(curl_slist* list, const std::string& text) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string::npos) end = text.size();
        if (end > start) list = curl_slist_append(list, text.substr(start, end - start).c_str());
        start = end + 1;
    }
    return list;
}

// The probe's error numbers mean the same on every platform: the Internet
// error numbering (12000 and up), as the traces print them.
int InternetError(CURLcode code) {
    switch (code) {
        case CURLE_URL_MALFORMAT: return 12005;          // invalid URL
        case CURLE_UNSUPPORTED_PROTOCOL: return 12006;   // unrecognised scheme
        case CURLE_COULDNT_RESOLVE_HOST: return 12007;   // name not resolved
        case CURLE_OPERATION_TIMEDOUT: return 12002;     // time-out
        case CURLE_COULDNT_CONNECT: return 12029;        // cannot connect
        case CURLE_SEND_ERROR: return 12030;             // connection aborted
        case CURLE_RECV_ERROR: return 12031;             // connection reset
        case CURLE_GOT_NOTHING: return 12152;            // invalid server response
        default: return 12004;                           // internal error
    }
}

}  // namespace

bool PosixPlatform::HttpGet(const HttpProbeRequest& request, std::string* body, int* error,
                            std::string* step) {
    static std::once_flag initialised;
    static CURLcode initResult = CURLE_OK;
    std::call_once(initialised, [] { initResult = curl_global_init(CURL_GLOBAL_DEFAULT); });

    if (body != nullptr) body->clear();
    auto fail = [&](const char* failedStep, int code) {
        if (error != nullptr) *error = code;
        if (step != nullptr) *step = failedStep;
        return false;
    };
    if (initResult != CURLE_OK) return fail("InternetOpen", InternetError(initResult));
    CURL* curl = curl_easy_init();
    if (curl == nullptr) return fail("InternetOpen", InternetError(CURLE_FAILED_INIT));

    const std::string path =
        request.path.empty() || request.path[0] != '/' ? "/" + request.path : request.path;
    const std::string url = "http://" + request.host + ":" + std::to_string(request.port) + path;
    const long sendTimeout = request.sendTimeoutMs != 0 ? static_cast<long>(request.sendTimeoutMs)
                                                        : kDefaultSendTimeoutMs;

    curl_slist* headers = AddHeaderLines(nullptr, request.extraHeaders);
    // Always fetched from the server, never from a cache on the way.
    headers = curl_slist_append(headers, "Cache-Control: no-cache");
    headers = curl_slist_append(headers, "Pragma: no-cache");

    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_0));
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, request.agent.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    // No proxy from the environment: the probe measures the bearer itself.
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);  // several threads may probe at once
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, sendTimeout);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, sendTimeout * kTotalTimeoutFactor);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &AppendBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, body);

    const CURLcode result = curl_easy_perform(curl);
    const bool connectFailure = result != CURLE_OK && IsConnectFailure(result, curl);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);

    if (result == CURLE_OK) return true;
    return fail(connectFailure ? "InternetConnect" : "HttpSendRequest", InternetError(result));
}

}  // namespace posix
}  // namespace transport
