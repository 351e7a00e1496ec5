#include "PackageText.h"

#include <cstring>

namespace cli {

std::string ParamBytes(const NetMessage& message, std::size_t index) {
    const NetParamList& params = message.GetParams();
    if (index >= params.GetCount()) return std::string();
    void* data = nullptr;
    unsigned long length = 0;
    params.GetData(params.GetNodeAt(static_cast<int>(index)), &data, &length);
    if (data == nullptr) return std::string();
    return std::string(static_cast<const char*>(data), length);
}

std::string ParamText(const NetMessage& message, std::size_t index) {
    std::string bytes = ParamBytes(message, index);
    const std::size_t zero = bytes.find('\0');
    if (zero != std::string::npos) bytes.erase(zero);
    return bytes;
}

std::string Printable(std::string_view text, std::size_t max) {
    std::string out;
    for (char c : text) {
        if (out.size() >= max) {
            out += "...";
            break;
        }
        const unsigned char byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && byte != '\\' && byte != '"') {
            out += c;
        } else {
            static const char kHex[] = "0123456789abcdef";
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xF];
        }
    }
    return out;
}

std::string Describe(const NetMessage& message, bool withPriority) {
    std::string text = "id=" + std::to_string(message.GetId());
    if (withPriority) text += " priority=" + std::to_string(message.GetPriority());
    const unsigned long count = message.GetParams().GetCount();
    for (unsigned long i = 0; i < count && i < 8; ++i) {
        text += " \"" + Printable(ParamText(message, i)) + "\"";
    }
    if (count > 8) text += " (+" + std::to_string(count - 8) + " more)";
    return text;
}

std::string TlsFailureWhat(unsigned long code, const std::string& name) {
    switch (code) {
        case transport::kErrTlsHandshake: return "the handshake failed";
        case transport::kErrTlsCertificate: return "the server's certificate does not verify";
        case transport::kErrTlsName: return "the server's certificate is not for " + Printable(name);
        case transport::kErrTlsExpired: return "the server's certificate has expired or is not yet valid";
        case transport::kErrTlsPin: return "the server's public key does not match the pin";
        case transport::kErrTlsTimeout: return "no handshake within the time allowed";
        case transport::kErrTlsSetup: return "the CA, the client certificate or its key cannot be loaded";
    }
    return "failure " + std::to_string(code);
}

std::string TlsFailure(const NetMessage& failure, const std::string& name) {
    const std::string what = TlsFailureWhat(failure.GetId(), name);
    const std::string reason = ParamText(failure, 0);
    // Some reasons are the library's words for the code: nothing to add then.
    const bool repeats = reason.empty() || reason == what;
    return "TLS failed on " + Printable(ParamText(failure, 1)) + ": " + what +
           (repeats ? std::string() : " (" + Printable(reason, 200) + ")");
}

const char* NetworkTypeName(enNETTYPE type) {
    switch (type) {
        case NETTYPE_WIFI: return "Wi-Fi (or no remote-access link)";
        case NETTYPE_ACTIVESYNC: return "desktop cable link";
        case NETTYPE_CELLULAR: return "cellular";
    }
    return "unknown";
}

}  // namespace cli
