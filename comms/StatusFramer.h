#pragma once

#include <functional>

class CMca;

// Cuts a TCP byte stream into status messages: from a "*" to the first "\n", at most 256
// bytes. Bytes before a "*" are discarded; a message that does not end within the buffer
// is discarded when the buffer fills. Valid frames are handed to the sink; invalid ones
// are dropped silently.
class CStatusFramer {
public:
    static constexpr int BufferBytes = 256;
    using FrameSink = std::function<void(const char* frame, int len)>;

    enum class Outcome {
        NoFrameEnd,       // no message was completed by these bytes
        EndedAtFrame,     // the last frame end consumed the whole buffer
        BytesLeftBehind,  // the last frame end left bytes in the buffer
    };

    explicit CStatusFramer(const CMca& codec) : codec_(codec) {}

    // The free part of the buffer for the next read; a full buffer is discarded first.
    char* FreeArea();
    int FreeBytes() const { return BufferBytes - fill_; }

    // Takes n bytes that were just read into FreeArea() and consumes complete messages.
    Outcome Commit(int n, const FrameSink& sink);

    void Reset() {
        fill_ = 0;
        inFrame_ = false;
    }
    int Fill() const { return fill_; }

private:
    void DropFront(int count);

    const CMca& codec_;
    char buffer_[BufferBytes] = {};
    int fill_ = 0;
    bool inFrame_ = false;
};
