#ifndef TRANSPORT_MESSAGE_FRAME_H
#define TRANSPORT_MESSAGE_FRAME_H

// The frame functions are part of the public API.
#include <transport/NetFrame.h>

namespace transport {

// The frame has no escaping: the index of the first parameter whose text
// holds a frame or parameter tag, which would cut the frame on the wire, or
// -1 when every parameter can travel as it is.
int ParamWithTag(const NetMessage& message);

}  // namespace transport

#endif
