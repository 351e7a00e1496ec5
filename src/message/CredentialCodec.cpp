#include "message/CredentialCodec.h"

namespace transport {

// Arithmetic is done on unsigned bytes so the sum wraps at 8 bits before the
// top bit is cleared, whatever the signedness of char.
void EncodeCredential(char* buffer, unsigned long length) {
    if (buffer == nullptr) return;
    auto* bytes = reinterpret_cast<unsigned char*>(buffer);
    for (unsigned long i = 0; i < length; ++i) {
        bytes[i] = static_cast<unsigned char>((bytes[i] + i + 1) & 0x7F);
    }
}

void DecodeCredential(char* buffer, unsigned long length) {
    if (buffer == nullptr) return;
    auto* bytes = reinterpret_cast<unsigned char*>(buffer);
    for (unsigned long i = 0; i < length; ++i) {
        bytes[i] = static_cast<unsigned char>((bytes[i] - i - 1) & 0x7F);
    }
}

}  // namespace transport
