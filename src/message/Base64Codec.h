#ifndef TRANSPORT_MESSAGE_BASE64_CODEC_H
#define TRANSPORT_MESSAGE_BASE64_CODEC_H

namespace transport {

// Standard RFC 4648 alphabet with "=" padding, no line breaks.
class Base64Codec {
public:
    virtual ~Base64Codec() = default;
    // Writes the text and a zero byte; returns the text length + 1.
    // destination holds 4 * ceil(length / 3) + 1 bytes.
    unsigned long ToBase64(const unsigned char* source, unsigned long length, char* destination);
    // Decodes length characters; returns the number of data bytes the text
    // carries (padding adds none). destination holds 3 * ceil(length / 4)
    // bytes, all of which may be written. Characters outside the alphabet
    // decode as 0 bits.
    unsigned long FromBase64(const char* source, unsigned long length, unsigned char* destination);
};

}  // namespace transport

#endif
