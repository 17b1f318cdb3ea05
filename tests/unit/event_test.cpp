#include "platform/Event.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/Wait.h"

namespace {

using namespace std::chrono;

TEST(Event, AutoResetsOnTheWaitThatSeesIt) {
    CEvent e;
    ASSERT_TRUE(e.IsValid());
    EXPECT_FALSE(e.TryConsume());
    e.Set();
    e.Set();  // two signals before a wait are still one
    EXPECT_EQ(WaitForAny({WaitItem::Of(e)}, 0).index, 0);
    EXPECT_EQ(WaitForAny({WaitItem::Of(e)}, 0).index, WaitTimeout);
    e.Set();
    e.Reset();
    EXPECT_EQ(WaitForAny({WaitItem::Of(e)}, 0).index, WaitTimeout);
}

TEST(Event, LowestReadyIndexWinsAndOthersStaySignalled) {
    CEvent a, b;
    a.Set();
    b.Set();
    EXPECT_EQ(WaitForAny({WaitItem::Of(a), WaitItem::Of(b)}, 0).index, 0);
    EXPECT_EQ(WaitForAny({WaitItem::Of(a), WaitItem::Of(b)}, 0).index, 1);
    EXPECT_EQ(WaitForAny({WaitItem::Of(a), WaitItem::Of(b)}, 0).index, WaitTimeout);
}

TEST(Event, PeekWakesWithoutConsuming) {
    CEvent stop;
    stop.Set();
    EXPECT_EQ(WaitForAny({WaitItem::Peek(stop)}, 1000).index, 0);
    EXPECT_TRUE(stop.TryConsume());
}

TEST(Event, WaitWakesFromAnotherThreadLongBeforeItsLimit) {
    CEvent e;
    const auto start = steady_clock::now();
    std::thread setter([&] {
        std::this_thread::sleep_for(50ms);
        e.Set();
    });
    const WaitResult r = WaitForAny({WaitItem::Of(e)}, 5000);
    setter.join();
    EXPECT_EQ(r.index, 0);
    EXPECT_LT(steady_clock::now() - start, 2s);
}

TEST(Event, SocketReadinessAndTimeout) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    CEvent e;
    const auto start = steady_clock::now();
    EXPECT_EQ(WaitForAny({WaitItem::Of(e), WaitItem::Socket(pair[0], POLLIN)}, 100).index,
              WaitTimeout);
    EXPECT_GE(steady_clock::now() - start, 90ms);
    ASSERT_EQ(write(pair[1], "x", 1), 1);
    const WaitResult r = WaitForAny({WaitItem::Of(e), WaitItem::Socket(pair[0], POLLIN)}, 1000);
    EXPECT_EQ(r.index, 1);
    EXPECT_TRUE(r.socketEvents & POLLIN);
    EXPECT_EQ(WaitForAny({WaitItem::Socket(-1, POLLIN)}, 0).index, WaitFailed);
    close(pair[0]);
    close(pair[1]);
}

}  // namespace
