#include "history/EventHistory.h"

#include <chrono>
#include <utility>
#include <vector>

#include "platform/Clock.h"
#include "platform/ThreadName.h"

namespace {

constexpr std::int64_t MicrosPerDay = 86400LL * 1000000;
// Records written per transaction: enough to keep up with any burst, few enough that a
// reader never waits long for the write lock's release.
constexpr std::size_t BatchSize = 1000;
// New events go into the text index once this many have gathered: one full-text write for
// many events costs a fraction of one per event.
constexpr std::int64_t IndexEvery = 256;
// Events added to the text index per transaction (an older history's whole year is added this
// way, between the writing of new events): a few tens of milliseconds each.
constexpr int IndexBatch = 2000;
// The write-ahead log is copied into the file when the writer has nothing else to do and the
// log has this many pages (well before SQLite would do it inside an event's commit).
constexpr int CheckpointPages = 500;

}  // namespace

CEventHistory::CEventHistory(std::string path, IMessageTarget* target,
                             CEventStore::Settings settings)
    : path_(std::move(path)), target_(target), settings_(settings) {
    thread_ = std::thread([this] { Run(); });
}

CEventHistory::~CEventHistory() {
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

std::int64_t CEventHistory::NowMicros() {
    const LocalDateTime t = LocalNow();
    return LocalToUtcMicros(t.year, t.month, t.day, t.hour, t.minute, t.second, t.milliseconds);
}

void CEventHistory::Record(std::uint16_t type, std::uint32_t id, const std::string* text,
                           const EventDevice* device) {
    EventRecord r;
    r.timeUs = NowMicros();
    r.eventId = id;
    r.type = type;
    if (text) r.text = *text;
    if (device) {
        r.device = device->name;
        r.address = device->address;
        r.serial = device->serial;
    }
    if (listener_) listener_(r);
    Add(std::move(r));
}

void CEventHistory::Add(EventRecord record) {
    {
        const std::lock_guard lock(mutex_);
        if (failed_ || queue_.size() >= MaxQueued) {
            ++dropped_;
            return;
        }
        queue_.push_back(std::move(record));
    }
    wake_.notify_one();
}

void CEventHistory::DailyMaintenance(std::int64_t nowUs) {
    {
        const std::lock_guard lock(mutex_);
        // Events from now on are queued again; the writer reopens the file for them.
        failed_ = false;
    }
    Prune(nowUs);
}

void CEventHistory::Prune(std::int64_t nowUs) {
    {
        const std::lock_guard lock(mutex_);
        if (failed_) return;
        pruneBefore_ = nowUs - RetentionDays * MicrosPerDay;
    }
    wake_.notify_one();
}

std::string CEventHistory::TakeFailure() {
    const std::lock_guard lock(mutex_);
    return std::exchange(failure_, std::string());
}

bool CEventHistory::WaitIdle(int ms) {
    std::unique_lock lock(mutex_);
    return idle_.wait_for(lock, std::chrono::milliseconds(ms), [this] {
        return queue_.empty() && !busy_ && pruneBefore_ == 0 && !indexing_;
    });
}

std::uint64_t CEventHistory::Dropped() const {
    const std::lock_guard lock(mutex_);
    return dropped_;
}

void CEventHistory::Post(HistoryReport report) {
    if (target_) target_->Post(WM_EVENTHISTORY, report, 0);
}

// Called on the writer thread without the lock held.
void CEventHistory::Failed(const std::string& reason) {
    store_.Close();
    {
        const std::lock_guard lock(mutex_);
        failed_ = true;
        indexing_ = false;
        dropped_ += queue_.size();
        queue_.clear();
        failure_ = "The event history " + path_ + " cannot be used (" + reason +
                   "). Events go on to the system log only; the history is tried again at the "
                   "next daily save.";
    }
    Post(HistoryFailed);
}

void CEventHistory::Run() {
    SetCurrentThreadName("avlo-history");
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stop_ || !queue_.empty() || pruneBefore_ || indexing_; });
        std::vector<EventRecord> batch;
        while (!queue_.empty() && batch.size() < BatchSize) {
            batch.push_back(std::move(queue_.front()));
            queue_.pop_front();
        }
        // A failure since the request: the file waits for the daily save's new attempt.
        const std::int64_t pruneBefore = failed_ ? 0 : std::exchange(pruneBefore_, 0);
        pruneBefore_ = 0;
        const bool stopping = stop_ && queue_.empty();
        busy_ = true;
        lock.unlock();

        bool ok = true;
        if ((!batch.empty() || pruneBefore) && !store_.IsOpen()) {
            ok = store_.Open(path_, CEventStore::Mode::Write, settings_);
            if (!ok) Failed(store_.LastError());
        }
        if (ok && !batch.empty()) {
            ok = store_.Append(batch);
            if (!ok) {
                {
                    const std::lock_guard count(mutex_);
                    dropped_ += batch.size();
                }
                Failed(store_.LastError());
            }
        }
        if (ok && pruneBefore && store_.PruneBefore(pruneBefore) < 0) {
            ok = false;
            Failed(store_.LastError());
        }
        // More to add to the text index (an older history's year of events): on at once,
        // in the time between new events.
        bool indexing = false;
        if (ok && store_.IsOpen() && !stopping && store_.TextIndexBacklog() >= IndexEvery) {
            ok = store_.BuildTextIndex(IndexBatch);
            if (!ok) Failed(store_.LastError());
            indexing = ok && store_.TextIndexBacklog() >= IndexEvery;
        }
        bool idle = false;
        {
            const std::lock_guard look(mutex_);
            idle = queue_.empty();
        }
        if (ok && idle && store_.IsOpen() && store_.Checkpoint(CheckpointPages) < 0) {
            Failed(store_.LastError());
        }

        lock.lock();
        busy_ = false;
        indexing_ = indexing && !failed_;
        idle_.notify_all();
        if (stopping) break;
    }
    lock.unlock();
    store_.Close();
}
