#ifndef TRANSPORT_TRANSPORT_FRAME_CUTTER_H
#define TRANSPORT_TRANSPORT_FRAME_CUTTER_H

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

class NetMessage;

namespace transport {

// Cuts whole frames out of the received byte stream. The receive cache is
// the client's own field (m_cacheBuf); the cutter keeps the bookkeeping
// beside it, so that cutting stays linear in the bytes received however the
// stream is chunked: the length of the text, the latest frame opener in it
// and where the next search for a tag resumes.
//
// A frame runs from the latest opener to the next closer: a frame whose
// closer was lost is dropped, a closer with no opener before it is ignored,
// and whatever lies between frames (HTTP lines, stray characters) goes once
// a frame after it is cut. Used by the network-event thread only.
class FrameCutter {
public:
    static constexpr std::size_t kCapacity = 5000;  // characters the cache holds
    static constexpr std::size_t kFrameMax = 2500;  // longer frames are dropped

    // cache holds kCapacity + 1 bytes of zero-terminated text and outlives the cutter.
    explicit FrameCutter(char* cache) : m_cache(cache) {}

    // Adds a chunk (up to its first zero byte or length) to the cache and
    // returns how many characters the cache held before it. A chunk that
    // does not fit beside an unfinished frame replaces it.
    std::size_t Take(const char* chunk, std::size_t length);

    // Parses every whole frame in the cache into a message, in order, and
    // removes what lies up to the last one. The length of each frame longer
    // than kFrameMax goes to tooLong instead.
    void Cut(std::vector<std::unique_ptr<NetMessage>>* frames, std::vector<std::size_t>* tooLong);

    std::size_t Cached() const { return m_length; }

private:
    void Forget(std::size_t length);

    char* m_cache;
    std::size_t m_length = 0;
    std::size_t m_openerAt = std::string::npos;
    std::size_t m_scanFrom = 0;
};

}  // namespace transport

#endif
