#ifndef TRANSPORT_MESSAGE_FRAME_H
#define TRANSPORT_MESSAGE_FRAME_H

// The frame functions are part of the public API.
#include <transport/NetFrame.h>

#endif
