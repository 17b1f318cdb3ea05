#include "web/EventStream.h"

#include <QJsonDocument>
#include <algorithm>

std::string CStreamSubscriber::Take() {
    std::string ready;
    const std::lock_guard lock(mutex_);
    ready.reserve(bytes_);
    for (const auto& event : queue_) ready += *event;
    queue_.clear();
    bytes_ = 0;
    return ready;
}

bool CStreamSubscriber::Dropped() const {
    const std::lock_guard lock(mutex_);
    return dropped_;
}

std::size_t CStreamSubscriber::QueuedBytes() const {
    const std::lock_guard lock(mutex_);
    return bytes_;
}

bool CStreamSubscriber::Push(const std::shared_ptr<const std::string>& event, std::size_t maxBytes,
                             bool* dropped) {
    const std::lock_guard lock(mutex_);
    if (bytes_ + event->size() > maxBytes) {
        // What it has not read is of no use without what follows: let it go whole.
        queue_.clear();
        bytes_ = 0;
        dropped_ = true;
        *dropped = true;
        return true;
    }
    const bool wasEmpty = queue_.empty();
    queue_.push_back(event);
    bytes_ += event->size();
    return wasEmpty;
}

void CStreamSubscriber::Wake() const {
    if (wake_) wake_();
}

std::shared_ptr<CStreamSubscriber> CEventStream::Subscribe(std::function<void()> wake) {
    std::shared_ptr<CStreamSubscriber> subscriber(new CStreamSubscriber(std::move(wake)));
    const std::lock_guard lock(mutex_);
    subscribers_.push_back(subscriber);
    return subscriber;
}

void CEventStream::Unsubscribe(const std::shared_ptr<CStreamSubscriber>& subscriber) {
    const std::lock_guard lock(mutex_);
    std::erase(subscribers_, subscriber);
}

std::size_t CEventStream::SubscriberCount() const {
    const std::lock_guard lock(mutex_);
    return subscribers_.size();
}

void CEventStream::Publish(const std::string& name, const QJsonObject& data) {
    const QByteArray json = QJsonDocument(data).toJson(QJsonDocument::Compact);
    std::vector<std::shared_ptr<CStreamSubscriber>> toWake;
    {
        // Held while every queue takes the event, so that events published on two threads at
        // once reach all streams in one order.
        const std::lock_guard lock(mutex_);
        const auto event = std::make_shared<const std::string>(
            "id: " + std::to_string(++lastId_) + "\nevent: " + name +
            "\ndata: " + json.toStdString() + "\n\n");
        std::erase_if(subscribers_, [&](const std::shared_ptr<CStreamSubscriber>& s) {
            bool dropped = false;
            if (s->Push(event, maxQueuedBytes_, &dropped)) toWake.push_back(s);
            return dropped;
        });
    }
    for (const auto& subscriber : toWake) subscriber->Wake();
}
