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

// Twice as many statuses as there are registrable devices, in one burst (each device is asked
// twice at start-up): every device's newest status is still there afterwards.
TEST(DataStatusStore, ABurstFromFiftyDevicesKeepsEveryDevicesNewestStatus) {
    CData data;
    for (int round = 1; round <= 2; ++round) {
        for (std::uint16_t id = 1; id <= 51; ++id) {
            Put(data, id, "msg" + std::to_string(id) + "/" + std::to_string(round));
        }
    }
    for (std::uint16_t id = 1; id <= 51; ++id) {
        EXPECT_EQ(Get(data, id), "msg" + std::to_string(id) + "/2") << id;
    }
}

TEST(DataStatusStore, ADeviceFloodingItsStatusCannotPushOutAnother) {
    CData data;
    Put(data, 1, "quiet one");
    Put(data, 3, "other quiet one");
    for (int i = 0; i < 5 * CData::StatusSlots; ++i) Put(data, 2, "flood " + std::to_string(i));
    EXPECT_EQ(Get(data, 1), "quiet one");
    EXPECT_EQ(Get(data, 3), "other quiet one");
    EXPECT_EQ(Get(data, 2), "flood " + std::to_string(5 * CData::StatusSlots - 1));
}

// Ids are never reused, so devices deleted and added again over a long run bring new ids:
// the slots of the deleted ones come back, and no live device loses its status meanwhile.
TEST(DataStatusStore, ReleasedSlotsAreReusedByNewIds) {
    CData data;
    Put(data, 1, "live");
    std::uint16_t next = 2;
    for (int cycle = 0; cycle < 3 * CData::StatusSlots; ++cycle) {
        const std::uint16_t id = next++;
        Put(data, id, "short-lived");
        EXPECT_EQ(Get(data, id), "short-lived");
        data.ReleaseStatus(id);
        EXPECT_EQ(Get(data, id), "") << "released " << id;
    }
    EXPECT_EQ(Get(data, 1), "live");
    data.ReleaseStatus(1);
    data.ReleaseStatus(1);  // twice is harmless
    data.ReleaseStatus(0);
    EXPECT_EQ(Get(data, 1), "");
}

// Should more devices write than there are slots, the slot written longest ago is taken over,
// never that of a device that has written since.
TEST(DataStatusStore, AFullTableGivesUpTheSlotWrittenLongestAgo) {
    CData data;
    for (int id = 1; id <= CData::StatusSlots; ++id)
        Put(data, static_cast<std::uint16_t>(id), "s" + std::to_string(id));
    Put(data, 1, "s1 again");  // device 2 is now the one written longest ago
    const auto newcomer = static_cast<std::uint16_t>(CData::StatusSlots + 1);
    Put(data, newcomer, "new");
    EXPECT_EQ(Get(data, 2), "");
    EXPECT_EQ(Get(data, newcomer), "new");
    EXPECT_EQ(Get(data, 1), "s1 again");
    for (int id = 3; id <= CData::StatusSlots; ++id) {
        EXPECT_EQ(Get(data, static_cast<std::uint16_t>(id)), "s" + std::to_string(id)) << id;
    }
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
    // Id 0 marks a free slot; no device has it, so it is neither stored nor found.
    EXPECT_FALSE(data.PutStatusMessage(0, exact.data(), 10));
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

TEST(DataRequestSlots, DiscoverySlotClampsAndKeepsItsContent) {
    CData data;
    const std::string forty(40, 'd');
    data.SetDiscoveryRequest(forty.data(), 40);
    char small[32];
    EXPECT_EQ(data.GetDiscoveryRequest(small, 32), 32);
    EXPECT_EQ(std::string(small, 32), std::string(32, 'd'));
    EXPECT_EQ(data.GetDiscoveryRequest(small, 32), 32);  // reading does not empty it
    EXPECT_EQ(data.GetDiscoveryRequest(small, 10), 0);
    data.SetDiscoveryRequest("VELKAN\n", 7);
    EXPECT_EQ(data.GetDiscoveryRequest(small, 32), 7);
    EXPECT_EQ(std::string(small, 7), "VELKAN\n");
}

// The message words have fixed layouts that both ends rely on; they are checked against
// numbers worked out by hand, in both directions.
TEST(Messages, ParameterLayouts) {
    // WM_TCPTHREAD for device 5 with code 6: 5 in the high half, 6 in the low half.
    EXPECT_EQ(TcpThreadWParam(5, EvConnected), 0x00050006u);
    EXPECT_EQ(TcpThreadWParam(0xBEEF, EvLost), 0xBEEF0008u);

    // WM_UDPTHREAD from 127.0.3.20, model code 4: code and first two address bytes in
    // wParam, the last two and the model in lParam.
    const std::uint8_t addr[4] = {127, 0, 3, 20};
    EXPECT_EQ(UdpThreadWParam(EvReceived, addr), 0x007F0004u);
    EXPECT_EQ(UdpThreadLParam(addr, 4), 0x00041403u);
    EXPECT_EQ(UdpThreadWParam(EvStarted), 0x00000001u);
    std::uint8_t back[4];
    // 192.168.1.9 with model code 3, read back from words packed by hand.
    UdpThreadAddress(0xA8C00004u, 0x00030901u, back);
    EXPECT_EQ(back[0], 192);
    EXPECT_EQ(back[1], 168);
    EXPECT_EQ(back[2], 1);
    EXPECT_EQ(back[3], 9);
    EXPECT_EQ(UdpThreadModel(0x00030901u), 3);

    // WM_APPLYCONFIG: device id, then the mode byte, then the channel mask.
    EXPECT_EQ(ApplyConfigWParam(0x1234, 1, 0x7F), 0x7F011234u);
    EXPECT_EQ(ApplyConfigWParam(7, 0, 0x03), 0x03000007u);
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
                const std::string text(static_cast<std::size_t>(10 + i % 200),
                                       static_cast<char>('a' + w));
                data.PutStatusMessage(w, text.data(), static_cast<int>(text.size()));
                const std::uint8_t addr[4] = {127, 0, 0, static_cast<std::uint8_t>(w)};
                data.PutReply(addr, text.data(), std::min(static_cast<int>(text.size()), 64));
                data.SetDiscoveryRequest(text.data(), static_cast<int>(text.size()));
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
                const int q = data.GetDiscoveryRequest(buf, 64);
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
