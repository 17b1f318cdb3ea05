#pragma once

// The hub behind GET /api/stream: the monitor publishes each change once, as a ready
// Server-Sent Event, and every open stream gets its own copy in its own queue. Publishing
// never waits for a client: a stream that falls behind by more than its queue holds is
// dropped (the browser's EventSource reconnects by itself and reads the current state again),
// so a stalled client can neither grow the monitor's memory nor hold up its thread.
#include <QJsonObject>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CEventStream;

// One open stream. The server's side: Take what is ready whenever the wake-up says so.
class CStreamSubscriber {
public:
    // Everything queued since the last call, in publishing order; the queue is then empty.
    std::string Take();
    // The hub gave up on this stream because it fell behind; nothing more will come, and the
    // server ends the response.
    bool Dropped() const;
    // Bytes waiting to be taken.
    std::size_t QueuedBytes() const;

private:
    friend class CEventStream;
    // True when the queue was empty, so that the stream needs waking.
    bool Push(const std::shared_ptr<const std::string>& event, std::size_t maxBytes, bool* dropped);
    void Wake() const;

    explicit CStreamSubscriber(std::function<void()> wake) : wake_(std::move(wake)) {}

    const std::function<void()> wake_;
    mutable std::mutex mutex_;
    std::deque<std::shared_ptr<const std::string>> queue_;
    std::size_t bytes_ = 0;
    bool dropped_ = false;
};

class CEventStream {
public:
    // A few hundred device changes: far more than a site of 50 devices makes between two
    // reads of a live client.
    static constexpr std::size_t DefaultMaxQueuedBytes = 256 * 1024;

    explicit CEventStream(std::size_t maxQueuedBytes = DefaultMaxQueuedBytes)
        : maxQueuedBytes_(maxQueuedBytes) {}
    CEventStream(const CEventStream&) = delete;
    CEventStream& operator=(const CEventStream&) = delete;

    // wake is called on the publishing thread, with no lock of the hub held, when the stream
    // has something to take after its queue was empty, and once when it is dropped. It must
    // return at once (post to the server's own loop, set an eventfd).
    std::shared_ptr<CStreamSubscriber> Subscribe(std::function<void()> wake);
    // The stream has ended; nothing is queued for it any more.
    void Unsubscribe(const std::shared_ptr<CStreamSubscriber>& subscriber);
    std::size_t SubscriberCount() const;

    // Queues "id: N", "event: name" and "data: <compact JSON>" for every stream, N counting up
    // from 1 in publishing order; every stream sees events in that order, whatever threads
    // publish. name must be a plain word.
    void Publish(const std::string& name, const QJsonObject& data);

private:
    const std::size_t maxQueuedBytes_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<CStreamSubscriber>> subscribers_;
    std::uint64_t lastId_ = 0;
};
