#ifndef TRANSPORT_MESSAGE_CREDENTIAL_CODEC_H
#define TRANSPORT_MESSAGE_CREDENTIAL_CODEC_H

namespace transport {

// The keyless per-position transform of the log-in credentials:
// byte i becomes (byte + i + 1) mod 128, and back. The top bit is lost.
void EncodeCredential(char* buffer, unsigned long length);
void DecodeCredential(char* buffer, unsigned long length);

}  // namespace transport

#endif
