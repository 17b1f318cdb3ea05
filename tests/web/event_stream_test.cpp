// The hub behind GET /api/stream: every stream gets every event once, in one order, framed as
// Server-Sent Events; a stream that falls behind is dropped while the others go on; events
// published on one thread reach a stream read on another, without a lost wake-up.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "web/EventStream.h"

namespace {

using ::testing::ElementsAreArray;

struct SseEvent {
    std::uint64_t id = 0;
    std::string name;
    QJsonObject data;
};

// Reads the stream as a browser's EventSource would: blank-line separated blocks of fields.
std::vector<SseEvent> ParseSse(const std::string& text) {
    std::vector<SseEvent> events;
    std::size_t from = 0;
    while (from < text.size()) {
        const std::size_t end = text.find("\n\n", from);
        EXPECT_NE(end, std::string::npos) << "an unfinished event: " << text.substr(from);
        if (end == std::string::npos) break;
        std::istringstream block(text.substr(from, end - from));
        SseEvent event;
        int dataLines = 0;
        for (std::string line; std::getline(block, line);) {
            const std::size_t colon = line.find(": ");
            const std::string field = line.substr(0, colon), value = line.substr(colon + 2);
            if (field == "id") event.id = std::stoull(value);
            if (field == "event") event.name = value;
            if (field == "data") {
                ++dataLines;
                QJsonParseError error{};
                event.data =
                    QJsonDocument::fromJson(QByteArray::fromStdString(value), &error).object();
                EXPECT_EQ(error.error, QJsonParseError::NoError) << value;
            }
        }
        EXPECT_EQ(dataLines, 1);
        events.push_back(event);
        from = end + 2;
    }
    return events;
}

QJsonObject Numbered(int n, const QString& text = {}) {
    return QJsonObject{{"n", n}, {"text", text}};
}

std::vector<int> Numbers(const std::vector<SseEvent>& events) {
    std::vector<int> numbers;
    for (const SseEvent& e : events) numbers.push_back(e.data.value("n").toInt());
    return numbers;
}

TEST(EventStream, EveryStreamGetsEveryEventInPublishingOrder) {
    CEventStream hub;
    int wakesA = 0, wakesB = 0;
    const auto a = hub.Subscribe([&] { ++wakesA; });
    const auto b = hub.Subscribe([&] { ++wakesB; });
    // A line break or a quote in a value must stay inside the one data line.
    hub.Publish("device", Numbered(1, "Amp \"1\"\nfan fault"));
    hub.Publish("event", Numbered(2));
    EXPECT_EQ(wakesA, 1);  // woken when the first arrives; the second waits with it
    const std::vector<SseEvent> first = ParseSse(a->Take());
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0].id, 1u);
    EXPECT_EQ(first[0].name, "device");
    EXPECT_EQ(first[0].data.value("text").toString(), "Amp \"1\"\nfan fault");
    EXPECT_EQ(first[1].id, 2u);
    EXPECT_EQ(first[1].name, "event");

    hub.Publish("event", Numbered(3));
    EXPECT_EQ(wakesA, 2);  // emptied by Take: the next event wakes it again
    EXPECT_THAT(Numbers(ParseSse(a->Take())), ElementsAreArray({3}));
    EXPECT_THAT(Numbers(ParseSse(b->Take())), ElementsAreArray({1, 2, 3}));
    EXPECT_EQ(wakesB, 1);
    EXPECT_EQ(a->Take(), "");

    hub.Unsubscribe(a);
    hub.Publish("event", Numbered(4));
    EXPECT_EQ(a->Take(), "");
    EXPECT_EQ(wakesA, 2);
    EXPECT_THAT(Numbers(ParseSse(b->Take())), ElementsAreArray({4}));
}

TEST(EventStream, AStreamThatFallsBehindIsDroppedAndTheOthersGoOn) {
    const std::size_t limit = 4096;
    CEventStream hub(limit);
    int slowWakes = 0;
    const auto slow = hub.Subscribe([&] { ++slowWakes; });
    const auto fast = hub.Subscribe(nullptr);
    std::vector<int> fastSaw;
    const QString filler(200, QChar('x'));
    for (int n = 1; n <= 100; ++n) {
        hub.Publish("device", Numbered(n, filler));
        EXPECT_LE(slow->QueuedBytes(), limit);
        for (int seen : Numbers(ParseSse(fast->Take()))) fastSaw.push_back(seen);
    }
    EXPECT_TRUE(slow->Dropped());
    EXPECT_FALSE(fast->Dropped());
    EXPECT_EQ(slow->Take(), "");  // nothing half: it starts again from a fresh stream
    EXPECT_EQ(slowWakes, 2);      // its first event, then its end
    EXPECT_EQ(hub.SubscriberCount(), 1u);
    ASSERT_EQ(fastSaw.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(fastSaw[i], i + 1);
}

// A reader thread as the server would run it: sleeps until woken, then takes what is there.
class Reader {
public:
    explicit Reader(CEventStream& hub)
        : subscriber_(hub.Subscribe([this] {
              {
                  const std::lock_guard lock(mutex_);
                  woken_ = true;
              }
              wake_.notify_one();
          })) {}

    // Reads until `count` events came or the time is up.
    std::vector<SseEvent> ReadUntil(std::size_t count, std::chrono::seconds limit) {
        std::string text;
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (ParseCount(text) < count) {
            std::unique_lock lock(mutex_);
            if (!wake_.wait_until(lock, deadline, [this] { return woken_; })) break;
            woken_ = false;
            lock.unlock();
            text += subscriber_->Take();
        }
        return ParseSse(text);
    }

private:
    static std::size_t ParseCount(const std::string& text) {
        std::size_t n = 0;
        for (std::size_t at = text.find("\n\n"); at != std::string::npos;
             at = text.find("\n\n", at + 2))
            ++n;
        return n;
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    bool woken_ = false;
    std::shared_ptr<CStreamSubscriber> subscriber_;
};

TEST(EventStream, EventsPublishedOnOneThreadReachAStreamReadOnAnother) {
    constexpr int Count = 5000;
    CEventStream hub(64 * 1024 * 1024);
    Reader reader(hub);
    std::vector<SseEvent> events;
    std::thread readerThread([&] { events = reader.ReadUntil(Count, std::chrono::seconds(20)); });
    std::thread publisher([&] {
        for (int n = 1; n <= Count; ++n) {
            hub.Publish("event", Numbered(n));
            if (n % 100 == 0) std::this_thread::yield();
        }
    });
    publisher.join();
    readerThread.join();
    ASSERT_EQ(events.size(), static_cast<std::size_t>(Count));
    for (int i = 0; i < Count; ++i) {
        ASSERT_EQ(events[i].data.value("n").toInt(), i + 1);
        ASSERT_EQ(events[i].id, static_cast<std::uint64_t>(i + 1));
    }
}

TEST(EventStream, PublishersOnTwoThreadsGiveEveryStreamTheSameOrder) {
    constexpr int PerThread = 2000;
    CEventStream hub(64 * 1024 * 1024);
    Reader first(hub), second(hub);
    std::vector<SseEvent> a, b;
    std::thread readA([&] { a = first.ReadUntil(2 * PerThread, std::chrono::seconds(20)); });
    std::thread readB([&] { b = second.ReadUntil(2 * PerThread, std::chrono::seconds(20)); });
    std::thread one([&] {
        for (int n = 1; n <= PerThread; ++n) hub.Publish("device", Numbered(n));
    });
    std::thread two([&] {
        for (int n = 1; n <= PerThread; ++n) hub.Publish("event", Numbered(-n));
    });
    one.join();
    two.join();
    readA.join();
    readB.join();
    ASSERT_EQ(a.size(), 2u * PerThread);
    ASSERT_EQ(b.size(), 2u * PerThread);
    int lastDevice = 0, lastEvent = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
        ASSERT_EQ(a[i].id, i + 1);
        ASSERT_EQ(b[i].id, i + 1);
        ASSERT_EQ(a[i].data, b[i].data) << "at " << i;
        // Each publisher's own events keep its order.
        const int n = a[i].data.value("n").toInt();
        if (n > 0) {
            ASSERT_EQ(n, ++lastDevice);
        } else {
            ASSERT_EQ(-n, ++lastEvent);
        }
    }
}

}  // namespace
