#include "comms/StatusFramer.h"

#include <cstring>

#include "protocol/Mca.h"

char* CStatusFramer::FreeArea() {
    if (fill_ >= BufferBytes) Reset();
    return buffer_ + fill_;
}

void CStatusFramer::DropFront(int count) {
    std::memmove(buffer_, buffer_ + count, static_cast<std::size_t>(fill_ - count));
    fill_ -= count;
}

CStatusFramer::Outcome CStatusFramer::Commit(int n, const FrameSink& sink) {
    if (n <= 0) return Outcome::NoFrameEnd;
    fill_ += n;
    if (fill_ > BufferBytes) fill_ = BufferBytes;
    Outcome outcome = Outcome::NoFrameEnd;
    for (;;) {
        if (!inFrame_) {
            const int start = codec_.FindStart(buffer_, fill_);
            if (start < 0) {
                fill_ = 0;
                return outcome;
            }
            if (start > 0) DropFront(start);
            inFrame_ = true;
        }
        const int end = codec_.FindEnd(buffer_, fill_);
        if (end < 0) return outcome;
        const int frameLen = end + 1;
        if (codec_.IsValidStatus(buffer_, frameLen)) sink(buffer_, frameLen);
        inFrame_ = false;
        if (frameLen == fill_) {
            fill_ = 0;
            return Outcome::EndedAtFrame;
        }
        DropFront(frameLen);
        outcome = Outcome::BytesLeftBehind;
    }
}
