#include "message/Base64Codec.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace transport {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Two characters for every 12-bit value: one lookup per half of a 3-byte group.
struct PairTable {
    std::array<char, 4096 * 2> chars{};
    constexpr PairTable() {
        for (unsigned v = 0; v < 4096; ++v) {
            chars[v * 2] = kAlphabet[v >> 6];
            chars[v * 2 + 1] = kAlphabet[v & 63];
        }
    }
};

// The value of every character, already shifted to its place in a 4-character
// group, so a group decodes with four lookups and three ORs. Characters
// outside the alphabet (and "=") give 0 bits.
struct DecodeTables {
    std::array<std::uint32_t, 256> shifted[4]{};
    constexpr DecodeTables() {
        for (unsigned i = 0; i < 64; ++i) {
            const auto c = static_cast<unsigned char>(kAlphabet[i]);
            shifted[0][c] = i << 18;
            shifted[1][c] = i << 12;
            shifted[2][c] = i << 6;
            shifted[3][c] = i;
        }
    }
};

constexpr PairTable kPairs;
constexpr DecodeTables kDecode;

inline void PutPair(char* out, std::uint32_t twelveBits) {
    std::memcpy(out, &kPairs.chars[twelveBits * 2], 2);
}

inline std::uint32_t DecodeGroup(const unsigned char* in) {
    return kDecode.shifted[0][in[0]] | kDecode.shifted[1][in[1]] | kDecode.shifted[2][in[2]] |
           kDecode.shifted[3][in[3]];
}

inline void PutBytes(unsigned char* out, std::uint32_t bits) {
    out[0] = static_cast<unsigned char>(bits >> 16);
    out[1] = static_cast<unsigned char>(bits >> 8);
    out[2] = static_cast<unsigned char>(bits);
}

}  // namespace

unsigned long Base64Codec::ToBase64(const unsigned char* source, unsigned long length,
                                    char* destination) {
    char* out = destination;
    const unsigned long whole = length - length % 3;
    for (unsigned long i = 0; i < whole; i += 3) {
        const std::uint32_t bits = (std::uint32_t{source[i]} << 16) |
                                   (std::uint32_t{source[i + 1]} << 8) | source[i + 2];
        PutPair(out, bits >> 12);
        PutPair(out + 2, bits & 0xFFF);
        out += 4;
    }
    const unsigned long rest = length - whole;
    if (rest != 0) {
        std::uint32_t bits = std::uint32_t{source[whole]} << 16;
        if (rest == 2) bits |= std::uint32_t{source[whole + 1]} << 8;
        PutPair(out, bits >> 12);
        out[2] = rest == 2 ? kAlphabet[(bits >> 6) & 63] : '=';
        out[3] = '=';
        out += 4;
    }
    *out = '\0';
    return static_cast<unsigned long>(out - destination) + 1;
}

unsigned long Base64Codec::FromBase64(const char* source, unsigned long length,
                                      unsigned char* destination) {
    const auto* in = reinterpret_cast<const unsigned char*>(source);
    unsigned char* out = destination;
    const unsigned long whole = length - length % 4;
    for (unsigned long i = 0; i < whole; i += 4) {
        PutBytes(out, DecodeGroup(in + i));
        out += 3;
    }
    const unsigned long rest = length - whole;
    if (rest != 0) {
        // Positions past the length read as 0 bits; the source is never read there.
        unsigned char last[4] = {0, 0, 0, 0};
        std::memcpy(last, in + whole, rest);
        PutBytes(out, DecodeGroup(last));
    }

    // Only the data bits count: each character carries 6 of them, the
    // trailing "=" none.
    unsigned long chars = length;
    while (chars > 0 && source[chars - 1] == '=') --chars;
    return chars / 4 * 3 + chars % 4 * 3 / 4;
}

}  // namespace transport
