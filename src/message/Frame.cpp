#include "message/Frame.h"

#include <cstdint>
#include <cstring>
#include <string_view>

#include <transport/NetMessage.h>

namespace transport {
namespace {

constexpr std::size_t kFrameOpenLength = sizeof(kFrameOpen) - 1;
constexpr std::size_t kParamOpenLength = sizeof(kParamOpen) - 1;
constexpr std::size_t kParamCloseLength = sizeof(kParamClose) - 1;
constexpr std::size_t kFrameCloseLength = sizeof(kFrameClose) - 1;
// Room every frame reserves for its id, whatever the id's width.
constexpr std::size_t kIdReserve = 4;

// The id as "%d" writes it (the 32-bit id read as signed), into a buffer of at
// least 11 characters; returns the number written, no zero byte.
std::size_t FormatId(std::uint32_t id, char* out) {
    char digits[10];
    std::size_t count = 0;
    const bool negative = (id & 0x80000000u) != 0;
    // Two's complement magnitude, exact for INT32_MIN too.
    std::uint32_t magnitude = negative ? 0u - id : id;
    do {
        digits[count++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    std::size_t written = 0;
    if (negative) out[written++] = '-';
    while (count > 0) out[written++] = digits[--count];
    return written;
}

// A parameter's text: its bytes up to the first zero byte, never past its
// length (binary parameters need not hold a zero byte at all).
std::string_view ParamText(const NetParamList& params, NetParam* node) {
    void* data = nullptr;
    unsigned long length = 0;
    params.GetData(node, &data, &length);
    if (data == nullptr) return {};
    const char* text = static_cast<const char*>(data);
    const void* zero = std::memchr(text, 0, length);
    return {text, zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - text) : length};
}

// The value of a decimal id text by the rules of atoi: leading white space,
// an optional sign, digits; anything else ends it. Out-of-range values are
// clamped to 64 bits and then cut to 32, as the usual atoi does, instead of
// being undefined.
std::uint32_t ParseId(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r'))) ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
    std::uint64_t value = 0;
    bool clamped = false;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        const unsigned digit = static_cast<unsigned>(text[at] - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            clamped = true;
            continue;
        }
        value = value * 10 + digit;
    }
    std::int64_t signedValue;
    if (clamped || value > static_cast<std::uint64_t>(INT64_MAX)) {
        signedValue = negative ? INT64_MIN : INT64_MAX;
    } else {
        signedValue = negative ? -static_cast<std::int64_t>(value) : static_cast<std::int64_t>(value);
    }
    return static_cast<std::uint32_t>(signedValue);
}

}  // namespace

unsigned long GetFrameLength(const NetMessage& message) {
    char id[11];
    const std::size_t idWidth = FormatId(message.m_nId, id);
    unsigned long length =
        kFrameOpenLength + (idWidth > kIdReserve ? idWidth : kIdReserve) + kFrameCloseLength;
    const NetParamList& params = message.GetParams();
    for (NetParam* node = params.GetHead(); node != nullptr; node = params.GetNext(node)) {
        length += kParamOpenLength + ParamText(params, node).size() + kParamCloseLength;
    }
    return length;
}

std::string FrameText(const NetMessage& message) {
    std::string frame;
    frame.reserve(GetFrameLength(message));
    frame.append(kFrameOpen, kFrameOpenLength);
    char id[11];
    frame.append(id, FormatId(message.m_nId, id));
    const NetParamList& params = message.GetParams();
    for (NetParam* node = params.GetHead(); node != nullptr; node = params.GetNext(node)) {
        frame.append(kParamOpen, kParamOpenLength);
        frame.append(ParamText(params, node));
        frame.append(kParamClose, kParamCloseLength);
    }
    frame.append(kFrameClose, kFrameCloseLength);
    return frame;
}

unsigned long WriteFrame(char* destination, unsigned long capacity, const NetMessage& message) {
    if (destination == nullptr) return 0;
    const std::string frame = FrameText(message);
    if (frame.size() > capacity) return 0;
    std::memcpy(destination, frame.c_str(), frame.size() + 1);
    return frame.size();
}

bool ParseFrame(NetMessage& message, const char* text) {
    if (text == nullptr) return false;
    const std::string_view frame(text);
    if (frame.size() < kFrameOpenLength + kFrameCloseLength) return false;
    if (frame.compare(0, kFrameOpenLength, kFrameOpen) != 0) return false;

    std::size_t scan = frame.find('<', kFrameOpenLength);
    if (scan == std::string_view::npos) scan = frame.size();
    message.SetId(ParseId(frame.substr(kFrameOpenLength, scan - kFrameOpenLength)));
    message.SetPriority(2);

    NetParamList& params = message.GetParams();
    for (std::size_t open = frame.find(kParamOpen, scan); open != std::string_view::npos;
         open = frame.find(kParamOpen, scan)) {
        // The closer is looked for after the opener, so a stray closer before
        // it can never give a parameter of negative length.
        const std::size_t start = open + kParamOpenLength;
        const std::size_t close = frame.find(kParamClose, start);
        if (close == std::string_view::npos) break;  // unterminated: the rest is dropped
        const std::size_t length = close - start;
        // Copy the text and the closer's first byte, then make that byte the
        // terminating zero the stored parameter carries.
        NetParam* node = params.AddTail(text + start, length + 1);
        void* data = nullptr;
        unsigned long stored = 0;
        params.GetData(node, &data, &stored);
        if (data != nullptr && stored == length + 1) static_cast<char*>(data)[length] = '\0';
        scan = close + kParamCloseLength;
    }
    return true;
}

}  // namespace transport

namespace transport {

int ParamWithTag(const NetMessage& message) {
    const NetParamList& params = message.GetParams();
    int index = 0;
    for (NetParam* node = params.GetHead(); node != nullptr; node = params.GetNext(node), ++index) {
        const std::string_view text = ParamText(params, node);
        for (const char* tag : {kFrameOpen, kFrameClose, kParamOpen, kParamClose}) {
            if (text.find(tag) != std::string_view::npos) return index;
        }
    }
    return -1;
}

}  // namespace transport
