#include "comms/Data.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "comms/Mymessages.h"

namespace {

std::string Get(const CData& data, std::uint16_t id) {
    char buf[CData::StatusBytes];
    const int n = data.GetStatusMessage(id, buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

void Put(CData& data, std::uint16_t id, const std::string& text) {
    ASSERT_TRUE(data.PutStatusMessage(id, text.data(), static_cast<int>(text.size())));
}

TEST(DataStatusStore, RingKeepsTheLastFiftyMessagesOfAllDevices) {
    CData data;
    for (std::uint16_t id = 1; id <= 51; ++id) Put(data, id, "msg" + std::to_string(id));
    char buf[256];
    EXPECT_EQ(data.GetStatusMessage(1, buf, sizeof buf), 0);
    EXPECT_EQ(Get(data, 2), "msg2");
    EXPECT_EQ(Get(data, 51), "msg51");
}

TEST(DataStatusStore, NewestMessageOfADeviceWins) {
    CData data;
    Put(data, 7, "first");
    Put(data, 8, "other");
    Put(data, 7, "second");
    EXPECT_EQ(Get(data, 7), "second");
    EXPECT_EQ(Get(data, 8), "other");
}

TEST(DataStatusStore, SizeLimitsAndUnknownIds) {
    CData data;
    const std::string big(257, 'x');
    EXPECT_FALSE(data.PutStatusMessage(3, big.data(), 257));
    char buf[256];
    EXPECT_EQ(data.GetStatusMessage(3, buf, 256), 0);
    const std::string exact(256, 'y');
    EXPECT_TRUE(data.PutStatusMessage(3, exact.data(), 256));
    EXPECT_EQ(Get(data, 3), exact);
    EXPECT_EQ(data.GetStatusMessage(3, buf, 255), -1);
    // Empty slots carry device id 0, which no device has.
    EXPECT_EQ(data.GetStatusMessage(0, buf, 256), 0);
}

TEST(DataReplyQueue, HoldsFortyNineAndDropsTheOldest) {
    CData data;
    for (int i = 0; i < 50; ++i) {
        const std::uint8_t addr[4] = {127, 0, 0, static_cast<std::uint8_t>(i)};
        const std::string text = "reply" + std::to_string(i);
        ASSERT_TRUE(data.PutReply(addr, text.data(), static_cast<int>(text.size())));
    }
    EXPECT_EQ(data.ReplyCount(), 49);
    std::uint8_t addr[4];
    char buf[64];
    const int n = data.TakeReply(addr, buf, sizeof buf);
    EXPECT_EQ(std::string(buf, static_cast<std::size_t>(n)), "reply1");
    EXPECT_EQ(addr[3], 1);
    EXPECT_EQ(data.ReplyCount(), 48);
}

TEST(DataReplyQueue, EmptyTooSmallAndTooLong) {
    CData data;
    std::uint8_t addr[4] = {9, 9, 9, 9};
    char buf[64];
    EXPECT_EQ(data.TakeReply(addr, buf, 64), 0);
    EXPECT_EQ(data.ReplyCount(), 0);
    const std::string reply = "VELKAN:M00R00000001\n";
    const std::uint8_t from[4] = {127, 0, 0, 5};
    const std::string tooLong(65, 'z');
    EXPECT_FALSE(data.PutReply(from, tooLong.data(), 65));
    EXPECT_EQ(data.ReplyCount(), 0);
    ASSERT_TRUE(data.PutReply(from, reply.data(), static_cast<int>(reply.size())));
    EXPECT_EQ(data.TakeReply(addr, buf, 63), -1);
    EXPECT_EQ(data.ReplyCount(), 1);
    EXPECT_EQ(data.TakeReply(addr, buf, 64), static_cast<int>(reply.size()));
    EXPECT_EQ(0, std::memcmp(addr, from, 4));
    EXPECT_EQ(data.TakeReply(addr, buf, 64), 0);
}

TEST(DataReplyQueue, CountAcrossTheWrap) {
    CData data;
    const std::uint8_t addr[4] = {127, 0, 0, 1};
    std::uint8_t out[4];
    char buf[64];
    const int expected[] = {30, 40, 49};  // 10 left over each round, until the queue is full
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 30; ++i) ASSERT_TRUE(data.PutReply(addr, "r", 1));
        EXPECT_EQ(data.ReplyCount(), expected[round]) << round;
        for (int i = 0; i < 20; ++i) ASSERT_EQ(data.TakeReply(out, buf, 64), 1);
    }
}

TEST(DataRequestSlots, ClampAndKeepTheirContent) {
    CData data;
    const std::string seventy(70, 'r');
    data.SetRequest(seventy.data(), 70);
    char buf[64];
    EXPECT_EQ(data.GetRequest(buf, 64), 64);
    EXPECT_EQ(data.GetRequest(buf, 64), 64);
    EXPECT_EQ(data.GetRequest(buf, 10), 0);

    const std::string forty(40, 'd');
    data.SetDiscoveryRequest(forty.data(), 40);
    char small[32];
    EXPECT_EQ(data.GetDiscoveryRequest(small, 32), 32);
    EXPECT_EQ(std::string(small, 32), std::string(32, 'd'));
    data.SetDiscoveryRequest("VELKAN\n", 7);
    EXPECT_EQ(data.GetDiscoveryRequest(small, 32), 7);
    EXPECT_EQ(data.GetRequest(buf, 64), 64);  // the slots are separate
}

TEST(Messages, ParameterLayouts) {
    EXPECT_EQ(TcpThreadWParam(5, EvConnected), (5u << 16) | 6u);
    const std::uint8_t addr[4] = {192, 168, 0, 9};
    const std::uint32_t w = UdpThreadWParam(EvReceived, addr);
    const std::uint32_t l = UdpThreadLParam(addr, 4);
    EXPECT_EQ(w & 0xFFFF, 4u);
    std::uint8_t back[4];
    UdpThreadAddress(w, l, back);
    EXPECT_EQ(0, std::memcmp(back, addr, 4));
    EXPECT_EQ(UdpThreadModel(l), 4);
    EXPECT_EQ(ApplyConfigWParam(0x1234, 1, 0x7F), 0x7F011234u);
}

// Many writers and readers at once: every message read back must be one that was written
// whole for that device, never a mix of two.
TEST(DataConcurrency, WritersAndReadersSeeWholeMessages) {
    CData data;
    std::atomic<bool> torn{false};
    std::atomic<int> seen{0};
    std::vector<std::thread> threads;
    for (std::uint16_t w = 1; w <= 4; ++w) {
        threads.emplace_back([&data, w] {
            for (int i = 0; i < 4000; ++i) {
                const std::string text(static_cast<std::size_t>(10 + i % 200), static_cast<char>('a' + w));
                data.PutStatusMessage(w, text.data(), static_cast<int>(text.size()));
                const std::uint8_t addr[4] = {127, 0, 0, static_cast<std::uint8_t>(w)};
                data.PutReply(addr, text.data(), std::min(static_cast<int>(text.size()), 64));
                data.SetRequest(text.data(), static_cast<int>(text.size()));
            }
        });
    }
    for (int r = 0; r < 2; ++r) {
        threads.emplace_back([&] {
            char buf[256];
            std::uint8_t addr[4];
            for (int i = 0; i < 4000; ++i) {
                const std::uint16_t id = static_cast<std::uint16_t>(1 + i % 4);
                const int n = data.GetStatusMessage(id, buf, sizeof buf);
                for (int k = 0; k < n; ++k) {
                    if (buf[k] != 'a' + id) torn = true;
                }
                if (n > 0) ++seen;
                const int m = data.TakeReply(addr, buf, 64);
                for (int k = 0; k < m; ++k) {
                    if (buf[k] != 'a' + addr[3]) torn = true;
                }
                const int q = data.GetRequest(buf, 64);
                for (int k = 1; k < q; ++k) {
                    if (buf[k] != buf[0]) torn = true;
                }
                (void)data.ReplyCount();
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_FALSE(torn.load());
    EXPECT_GT(seen.load(), 0);
}

}  // namespace
