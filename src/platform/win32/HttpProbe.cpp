// The Internet probe: one plain HTTP/1.0 GET through WinINet, without a
// proxy, a cache or redirects. Failures name the WinINet function that
// failed and its error number (the Internet error numbering, 12000 and up,
// which is what the seam reports on every platform).

#include <algorithm>
#include <string>

#include "platform/win32/Win32Api.h"
#include "platform/win32/Win32Platform.h"

namespace transport {
namespace win32 {
namespace {

// The probe's answer is only traced: a bounded part of a huge page is enough.
constexpr std::size_t kMaxBodyBytes = 1u << 20;
// The answer may take this many send time-outs to come.
constexpr DWORD kReceiveTimeoutFactor = 4;
constexpr std::uint32_t kDefaultSendTimeoutMs = 5000;

// Closes a WinINet handle when it goes out of scope.
class InternetHandle {
public:
    explicit InternetHandle(HINTERNET handle) : handle_(handle) {}
    ~InternetHandle() {
        if (handle_ != nullptr) ::InternetCloseHandle(handle_);
    }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;
    HINTERNET get() const { return handle_; }

private:
    HINTERNET handle_;
};

// The time-outs, on each handle: not every WinINet passes them down from
// the session to the request.
void SetTimeouts(HINTERNET handle, DWORD sendTimeoutMs) {
    DWORD connect = sendTimeoutMs;
    DWORD send = sendTimeoutMs;
    DWORD receive = sendTimeoutMs * kReceiveTimeoutFactor;
    ::InternetSetOptionA(handle, INTERNET_OPTION_CONNECT_TIMEOUT, &connect, sizeof(connect));
    ::InternetSetOptionA(handle, INTERNET_OPTION_SEND_TIMEOUT, &send, sizeof(send));
    ::InternetSetOptionA(handle, INTERNET_OPTION_RECEIVE_TIMEOUT, &receive, sizeof(receive));
}

}  // namespace

bool Win32Platform::HttpGet(const HttpProbeRequest& request, std::string* body, int* error,
                            std::string* step) {
    if (body != nullptr) body->clear();
    auto fail = [&](const char* failedStep) {
        const DWORD code = ::GetLastError();
        if (error != nullptr) *error = static_cast<int>(code != 0 ? code : ERROR_INTERNET_INTERNAL_ERROR);
        if (step != nullptr) *step = failedStep;
        return false;
    };
    const DWORD sendTimeout =
        request.sendTimeoutMs != 0 ? request.sendTimeoutMs : kDefaultSendTimeoutMs;

    // No proxy: the probe measures the bearer itself.
    InternetHandle session(
        ::InternetOpenA(request.agent.c_str(), INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    if (session.get() == nullptr) return fail("InternetOpen");
    SetTimeouts(session.get(), sendTimeout);

    InternetHandle connection(::InternetConnectA(session.get(), request.host.c_str(),
                                                 request.port, nullptr, nullptr,
                                                 INTERNET_SERVICE_HTTP, 0, 0));
    if (connection.get() == nullptr) return fail("InternetConnect");
    SetTimeouts(connection.get(), sendTimeout);

    const std::string path =
        request.path.empty() || request.path[0] != '/' ? "/" + request.path : request.path;
    // Always fetched from the server, never from a cache on the way; a
    // redirect is an answer like any other.
    const DWORD flags =
        INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_AUTO_REDIRECT;
    InternetHandle exchange(::HttpOpenRequestA(connection.get(), "GET", path.c_str(), "HTTP/1.0",
                                          nullptr, nullptr, flags, 0));
    if (exchange.get() == nullptr) return fail("HttpOpenRequest");
    SetTimeouts(exchange.get(), sendTimeout);

    std::string headers = request.extraHeaders;
    if (!headers.empty() && headers.back() != '\n') headers += "\r\n";
    headers += "Cache-Control: no-cache\r\nPragma: no-cache\r\n";
    const ULONGLONG sendStart = ::GetTickCount64();
    if (::HttpSendRequestA(exchange.get(), headers.c_str(), static_cast<DWORD>(headers.size()),
                           nullptr, 0) == FALSE) {
        // Some WinINet implementations report an answer that did not come in
        // time as an aborted connection; it is the time-out.
        if (::GetLastError() == ERROR_INTERNET_CONNECTION_ABORTED &&
            ::GetTickCount64() - sendStart >= sendTimeout * kReceiveTimeoutFactor) {
            ::SetLastError(ERROR_INTERNET_TIMEOUT);
        }
        return fail("HttpSendRequest");
    }

    std::string received;
    char chunk[8192];
    while (received.size() < kMaxBodyBytes) {
        DWORD read = 0;
        const DWORD wanted =
            static_cast<DWORD>(std::min<std::size_t>(sizeof(chunk), kMaxBodyBytes - received.size()));
        if (::InternetReadFile(exchange.get(), chunk, wanted, &read) == FALSE) {
            return fail("InternetReadFile");
        }
        if (read == 0) break;  // the end of the answer
        received.append(chunk, read);
    }
    if (body != nullptr) body->swap(received);
    return true;
}

}  // namespace win32
}  // namespace transport
