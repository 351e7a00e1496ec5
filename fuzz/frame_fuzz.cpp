// ParseFrame on any text, and what must hold for whatever it accepts: the
// frame written back from the parsed message has the room GetFrameLength
// promised, WriteFrame writes exactly that text, and parsing it again gives
// the same id and parameters.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "message/Frame.h"

namespace {

std::vector<std::string> StoredParams(const NetMessage& message) {
    std::vector<std::string> out;
    for (unsigned long i = 0; i < message.GetParams().GetCount(); ++i) {
        out.push_back(fuzz::StoredBytes(message, static_cast<int>(i)));
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The receive path hands ParseFrame zero-terminated text only.
    const std::string text(reinterpret_cast<const char*>(data), size);
    const char* frame = text.c_str();

    NetMessage message;
    message.SetId(77);
    message.SetPriority(3);
    const bool parsed = transport::ParseFrame(message, frame);
    const bool isFrame = std::strlen(frame) >= 11 && std::strncmp(frame, "<g44>", 5) == 0;
    fuzz::Check(parsed == isFrame, "ParseFrame accepts exactly the texts that open with <g44>");
    if (!parsed) {
        fuzz::Check(message.GetId() == 77 && message.GetPriority() == 3 &&
                        message.GetParams().GetCount() == 0,
                    "a refused text changed the message");
        return 0;
    }
    fuzz::Check(message.GetPriority() == 2, "parsed priority is 2");

    const std::vector<std::string> params = StoredParams(message);
    for (const std::string& p : params) {
        fuzz::Check(!p.empty() && p.back() == '\0', "a parsed parameter ends in its zero byte");
        fuzz::Check(p.find('\0') == p.size() - 1, "a parsed parameter holds one zero byte");
        fuzz::Check(p.find("</p>") == std::string::npos, "a parsed parameter holds a closer");
        fuzz::Check(p.size() <= std::strlen(frame), "a parameter longer than its frame");
    }

    const std::string written = transport::FrameText(message);
    const unsigned long room = transport::GetFrameLength(message);
    fuzz::Check(written.size() <= room, "GetFrameLength is short of the frame");
    std::vector<char> area(room + 2, 'x');
    const unsigned long length = transport::WriteFrame(area.data(), room + 1, message);
    fuzz::Check(length == written.size(), "WriteFrame refused a frame that fits");
    fuzz::Check(std::memcmp(area.data(), written.c_str(), written.size() + 1) == 0,
                "WriteFrame wrote another text than FrameText");
    fuzz::Check(area[room + 1] == 'x', "WriteFrame wrote past the frame");
    if (!written.empty()) {
        fuzz::Check(transport::WriteFrame(area.data(), written.size() - 1, message) == 0,
                    "WriteFrame wrote a frame longer than the capacity");
    }

    NetMessage again;
    fuzz::Check(transport::ParseFrame(again, written.c_str()), "a written frame does not parse");
    fuzz::Check(again.GetId() == message.GetId(), "the id changed through write and parse");
    fuzz::Check(StoredParams(again) == params, "parameters changed through write and parse");
    return 0;
}
