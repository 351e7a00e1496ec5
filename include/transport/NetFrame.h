#ifndef TRANSPORT_NET_FRAME_H
#define TRANSPORT_NET_FRAME_H

#include <string>

#include <transport/Export.h>
#include <transport/NetMessage.h>

// Frame text: "<g44>" id "<p>" param "</p>" ... "</g44>", no escaping; each
// parameter travels up to its first zero byte.
namespace transport {

constexpr const char kFrameOpen[] = "<g44>";
constexpr const char kParamOpen[] = "<p>";
constexpr const char kParamClose[] = "</p>";
constexpr const char kFrameClose[] = "</g44>";

// Room the frame needs: 15 + 7n + the parameters' text lengths, with the id
// reserve of 4 widened to the id's real width when that is longer.
TRANSPORT_API unsigned long GetFrameLength(const NetMessage& message);
// Writes the frame and a zero byte when it has at most capacity characters
// (destination holds capacity + 1 bytes) and returns its length; otherwise
// writes nothing and returns 0.
TRANSPORT_API unsigned long WriteFrame(char* destination, unsigned long capacity,
                                       const NetMessage& message);
// The frame as a string, whatever its length.
TRANSPORT_API std::string FrameText(const NetMessage& message);
// Fills message from one zero-terminated frame text; false, message unchanged,
// when the text is not a frame. Never reads outside the text.
TRANSPORT_API bool ParseFrame(NetMessage& message, const char* text);

}  // namespace transport

#endif
