#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "comms/StatusFramer.h"
#include "protocol/Mca.h"

namespace {

const std::string kMsg = "*M03R12345678P1V1111A1111111D1111111T1111111F1111111C1111111H00012345\n";
const std::string kMsg2 = "*M00R87654321P0V1110A0000011D1111111T1111111F1111111C1111111H00000042\n";

// Feeds chunks into the framer the way the read routine does and records the frames.
struct Harness {
    CMca codec;
    CStatusFramer framer{codec};
    std::vector<std::string> frames;

    CStatusFramer::Outcome Feed(const std::string& bytes) {
        CStatusFramer::Outcome last = CStatusFramer::Outcome::NoFrameEnd;
        std::size_t pos = 0;
        while (pos < bytes.size()) {
            char* area = framer.FreeArea();
            const std::size_t n = std::min<std::size_t>(
                bytes.size() - pos, static_cast<std::size_t>(framer.FreeBytes()));
            std::memcpy(area, bytes.data() + pos, n);
            pos += n;
            const auto outcome = framer.Commit(static_cast<int>(n), [this](const char* f, int len) {
                frames.emplace_back(f, static_cast<std::size_t>(len));
            });
            if (outcome != CStatusFramer::Outcome::NoFrameEnd) last = outcome;
        }
        return last;
    }
};

TEST(StatusFramer, TwoMessagesInOneReadBothInOrder) {
    Harness h;
    EXPECT_EQ(h.Feed(kMsg + kMsg2), CStatusFramer::Outcome::EndedAtFrame);
    ASSERT_EQ(h.frames.size(), 2u);
    EXPECT_EQ(h.frames[0], kMsg);
    EXPECT_EQ(h.frames[1], kMsg2);
    EXPECT_EQ(h.framer.Fill(), 0);
}

TEST(StatusFramer, SplitMessageStoredOnceAfterTheSecondPart) {
    Harness h;
    EXPECT_EQ(h.Feed(kMsg.substr(0, 30)), CStatusFramer::Outcome::NoFrameEnd);
    EXPECT_TRUE(h.frames.empty());
    EXPECT_EQ(h.Feed(kMsg.substr(30)), CStatusFramer::Outcome::EndedAtFrame);
    ASSERT_EQ(h.frames.size(), 1u);
    EXPECT_EQ(h.frames[0], kMsg);
}

TEST(StatusFramer, GarbageBeforeStartIsDiscarded) {
    Harness h;
    EXPECT_EQ(h.Feed("noise without a start"), CStatusFramer::Outcome::NoFrameEnd);
    EXPECT_EQ(h.framer.Fill(), 0);
    h.Feed("junk\n\n" + kMsg);
    ASSERT_EQ(h.frames.size(), 1u);
    EXPECT_EQ(h.frames[0], kMsg);
}

TEST(StatusFramer, InvalidFrameDroppedAndNextOneStillFramed) {
    Harness h;
    std::string noH = kMsg;
    noH.erase(noH.find('H'), 1);
    EXPECT_EQ(h.Feed(noH + kMsg2.substr(0, 10)), CStatusFramer::Outcome::BytesLeftBehind);
    EXPECT_TRUE(h.frames.empty());
    h.Feed(kMsg2.substr(10));
    ASSERT_EQ(h.frames.size(), 1u);
    EXPECT_EQ(h.frames[0], kMsg2);
}

TEST(StatusFramer, OverlongFrameDiscardedWhenTheBufferFills) {
    Harness h;
    const std::string longFrame = "*" + std::string(299, 'M');
    h.Feed(longFrame);
    EXPECT_TRUE(h.frames.empty());
    // Framing restarts at the next "*" once the full buffer was thrown away.
    h.Feed("tail\n" + kMsg);
    ASSERT_EQ(h.frames.size(), 1u);
    EXPECT_EQ(h.frames[0], kMsg);
}

TEST(StatusFramer, EveryPossibleSplitGivesTheSameFrames) {
    const std::string stream = "xx" + kMsg + "garbage" + kMsg2 + kMsg;
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        Harness h;
        h.Feed(stream.substr(0, cut));
        h.Feed(stream.substr(cut));
        ASSERT_EQ(h.frames.size(), 3u) << cut;
        EXPECT_EQ(h.frames[0], kMsg);
        EXPECT_EQ(h.frames[1], kMsg2);
        EXPECT_EQ(h.frames[2], kMsg);
    }
}

TEST(StatusFramer, ExactlyFullBufferMessageIsFramed) {
    // 256 bytes: 70 letters of padding inside a valid message ending exactly at the buffer end.
    std::string big = kMsg;
    big.insert(big.size() - 1, std::string(256 - kMsg.size(), '0'));
    ASSERT_EQ(big.size(), 256u);
    Harness h;
    EXPECT_EQ(h.Feed(big), CStatusFramer::Outcome::EndedAtFrame);
    ASSERT_EQ(h.frames.size(), 1u);
    EXPECT_EQ(h.frames[0], big);
}

}  // namespace
