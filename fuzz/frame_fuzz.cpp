// ParseFrame on any text, and what must hold for whatever it accepts: the
// frame written back from the parsed message has the room GetFrameLength
// promised, WriteFrame writes exactly that text, and parsing it again gives
// the same id and parameters.

#include <transport/NetFrame.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void Check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "fuzz property broken: %s\n", what);
    std::abort();
}

std::vector<std::string> Params(const NetMessage& message) {
    std::vector<std::string> out;
    const NetParamList& list = message.GetParams();
    for (NetParam* node = list.GetHead(); node != nullptr; node = list.GetNext(node)) {
        out.emplace_back(reinterpret_cast<const char*>(node->m_pData), node->m_nLength);
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
    Check(parsed == (std::strlen(frame) >= 11 && std::strncmp(frame, "<g44>", 5) == 0),
          "ParseFrame accepts exactly the texts that open with <g44>");
    if (!parsed) {
        Check(message.GetId() == 77 && message.GetPriority() == 3 && Params(message).empty(),
              "a refused text changed the message");
        return 0;
    }
    Check(message.GetPriority() == 2, "parsed priority is 2");
    const std::vector<std::string> params = Params(message);
    for (const std::string& p : params) {
        Check(!p.empty() && p.find('\0') == p.size() - 1, "a parameter holds one zero byte, last");
        Check(p.find("</p>") == std::string::npos, "a parsed parameter holds a closer");
    }

    const std::string written = transport::FrameText(message);
    const unsigned long room = transport::GetFrameLength(message);
    Check(written.size() <= room, "GetFrameLength is short of the frame");
    std::vector<char> area(room + 2, 'x');
    Check(transport::WriteFrame(area.data(), room + 1, message) == written.size(),
          "WriteFrame refused a frame that fits");
    Check(std::memcmp(area.data(), written.c_str(), written.size() + 1) == 0,
          "WriteFrame wrote another text than FrameText");
    Check(area[room + 1] == 'x', "WriteFrame wrote past the frame");
    Check(transport::WriteFrame(area.data(), written.size() - 1, message) == 0,
          "WriteFrame wrote a frame longer than the capacity");

    NetMessage again;
    Check(transport::ParseFrame(again, written.c_str()), "a written frame does not parse");
    Check(again.GetId() == message.GetId() && Params(again) == params,
          "the frame changed through write and parse");
    return 0;
}
