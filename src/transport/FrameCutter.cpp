#include "transport/FrameCutter.h"

#include <transport/NetFrame.h>

#include <algorithm>
#include <cstring>

namespace transport {
namespace {

constexpr std::size_t kOpenLength = sizeof(kFrameOpen) - 1;
constexpr std::size_t kCloseLength = sizeof(kFrameClose) - 1;
constexpr std::size_t npos = std::string::npos;

enum class Tag { kNone, kOpener, kCloser, kCutShort };

// What the text at a '<' is: a frame tag, the start of one that the end of
// the text cuts short, or neither.
Tag TagAt(const char* text, std::size_t left) {
    if (left >= kCloseLength) {
        if (std::memcmp(text, kFrameClose, kCloseLength) == 0) return Tag::kCloser;
        if (std::memcmp(text, kFrameOpen, kOpenLength) == 0) return Tag::kOpener;
        return Tag::kNone;
    }
    if (left >= kOpenLength && std::memcmp(text, kFrameOpen, kOpenLength) == 0) {
        return Tag::kOpener;
    }
    if (std::memcmp(text, kFrameClose, left) == 0 ||
        (left < kOpenLength && std::memcmp(text, kFrameOpen, left) == 0)) {
        return Tag::kCutShort;
    }
    return Tag::kNone;
}

// The next '<' in text[from, to), or npos. In small frames the next '<' is
// a few bytes away, closer than a call of memchr pays off; in a part's Base64
// body there is none for 2048 bytes, which memchr crosses in wide steps.
std::size_t FindTag(const char* text, std::size_t from, std::size_t to) {
    const std::size_t near = std::min(to, from + 16);
    for (std::size_t at = from; at < near; ++at) {
        if (text[at] == '<') return at;
    }
    if (near >= to) return npos;
    const void* hit = std::memchr(text + near, '<', to - near);
    return hit != nullptr ? static_cast<std::size_t>(static_cast<const char*>(hit) - text) : npos;
}

}  // namespace

void FrameCutter::Forget(std::size_t length) {
    m_length = length;
    m_openerAt = npos;
    m_scanFrom = 0;
}

std::size_t FrameCutter::Take(const char* chunk, std::size_t length) {
    // The length kept must describe the cache's text; recount when it does
    // not (the cache of a copied client, say).
    std::size_t n = m_length;
    if (n > kCapacity || m_cache[n] != '\0' || (n > 0 && m_cache[n - 1] == '\0')) {
        Forget(strnlen(m_cache, kCapacity));
        n = m_length;
    }
    std::size_t added = chunk != nullptr ? strnlen(chunk, length) : 0;
    if (n + added > kCapacity) {
        // An unfinished frame in the cache is lost; the chunk starts afresh.
        Forget(0);
        n = 0;
    }
    if (added > kCapacity) {
        // Only a direct caller can pass that much: keep the newest text.
        chunk += added - kCapacity;
        added = kCapacity;
    }
    if (added > 0) std::memcpy(m_cache + n, chunk, added);
    m_length = n + added;
    m_cache[m_length] = '\0';
    return n;
}

void FrameCutter::Cut(std::vector<std::unique_ptr<NetMessage>>* frames,
                      std::vector<std::size_t>* tooLong) {
    // One forward pass over the tags: the scan resumes where the last one
    // stopped (at a tag that the chunk cut short), so every byte is looked
    // at a bounded number of times however small the chunks are.
    const std::size_t n = m_length;
    std::size_t consumed = 0;
    std::size_t opener = m_openerAt;
    std::size_t scan = m_scanFrom;
    for (;;) {
        const std::size_t at = FindTag(m_cache, scan, n);
        if (at == npos) {
            scan = n;
            break;
        }
        const Tag tag = TagAt(m_cache + at, n - at);
        if (tag == Tag::kCutShort) {
            scan = at;  // decided once more bytes have come
            break;
        }
        if (tag == Tag::kOpener) {
            opener = at;
            scan = at + kOpenLength;
            continue;
        }
        scan = at + 1;
        if (tag != Tag::kCloser || opener == npos) continue;

        const std::size_t end = at + kCloseLength;
        if (end - opener > kFrameMax) {
            tooLong->push_back(end - opener);
        } else {
            // Parsed where it lies: the byte after the closer stands in for
            // the terminating zero meanwhile (the cache has room for it).
            const char after = m_cache[end];
            m_cache[end] = '\0';
            auto message = std::make_unique<NetMessage>();
            ParseFrame(*message, m_cache + opener);
            m_cache[end] = after;
            frames->push_back(std::move(message));
        }
        consumed = end;
        opener = npos;
        scan = end;
    }

    if (consumed > 0) {
        std::memmove(m_cache, m_cache + consumed, n - consumed);
        m_length = n - consumed;
        m_cache[m_length] = '\0';
        if (opener != npos) opener -= consumed;
        scan -= consumed;
    }
    m_openerAt = opener;
    m_scanFrom = scan;
}

}  // namespace transport
