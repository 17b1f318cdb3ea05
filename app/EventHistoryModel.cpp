#include "app/EventHistoryModel.h"

#include <QElapsedTimer>
#include <QIcon>
#include <QTimer>
#include <utility>

#include "platform/EventIds.h"
#include "platform/EventSink.h"
#include "platform/PrintableText.h"

namespace {

QString FirstLine(const std::string& text) {
    const std::size_t end = text.find_first_of("\r\n");
    return QString::fromStdString(
        PrintableText(end == std::string::npos ? text : text.substr(0, end)));
}

// The pictures are named after the kind's word.
QIcon KindIcon(EventKind kind) {
    return QIcon(QStringLiteral(":/history/%1.svg").arg(QString::fromLatin1(KindWord(kind))));
}

QString KindCaption(EventKind kind) {
    QString caption = QString::fromLatin1(KindWord(kind));
    caption[0] = caption[0].toUpper();
    return caption;
}

}  // namespace

TEventHistoryModel::TEventHistoryModel(std::string storePath, QObject* parent)
    : QAbstractTableModel(parent), path_(std::move(storePath)) {}

TEventHistoryModel::~TEventHistoryModel() = default;

QString TEventHistoryModel::EventCaption(std::uint32_t id) {
    switch (id) {
        case EV_DEVICE_REGISTERED:
            return QStringLiteral("Device registered");
        case EV_DEVICE_CONNECTED:
            return QStringLiteral("Device connected");
        case EV_DEVICE_CONNECTION_LOST:
            return QStringLiteral("Connection lost");
        case EV_EMAIL_SENT:
            return QStringLiteral("E-mail sent");
        case EV_EMAIL_FAILED:
            return QStringLiteral("E-mail failed");
        case EV_DEVICE_ALERT:
            return QStringLiteral("Device alert");
        case EV_MONITOR_STARTED:
            return QStringLiteral("Monitor started");
        case EV_MONITOR_STOPPED:
            return QStringLiteral("Monitor stopped");
        case EV_MONITOR_ERROR:
            return QStringLiteral("Program error");
        case EV_EMAIL_PASSWORD_PLACE:
            return QStringLiteral("Password place");
        case EV_DEVICE_MOVED:
            return QStringLiteral("Device moved");
        case EV_DISCOVERY_BURST:
            return QStringLiteral("Discovery burst");
        case EV_WEB_SIGN_IN:
            return QStringLiteral("Web sign-in");
        case EV_WEB_SIGN_IN_REFUSED:
            return QStringLiteral("Web sign-in refused");
        case EV_DEVICE_UNREACHABLE:
            return QStringLiteral("Device not reachable");
        case EV_ALERTS_MUTED:
            return QStringLiteral("Alerts muted");
        case EV_ALERTS_UNMUTED:
            return QStringLiteral("Alerts unmuted");
        case EV_WEBHOOK_SENT:
            return QStringLiteral("Webhook sent");
        case EV_WEBHOOK_FAILED:
            return QStringLiteral("Webhook failed");
        default:
            return QString::fromLatin1(EventName(id));
    }
}

int TEventHistoryModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TEventHistoryModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant TEventHistoryModel::data(const QModelIndex& index, int role) const {
    const EventRecord* r = Record(index.row());
    if (r == nullptr) return {};
    const EventKind kind = KindOfType(r->type);
    if (role == Qt::DecorationRole && index.column() == ColType) return KindIcon(kind);
    if (role == Qt::ToolTipRole && index.column() == ColEvent)
        return QString::fromLatin1(EventName(r->eventId));
    if (role != Qt::DisplayRole) return {};
    switch (index.column()) {
        case ColType:
            return KindCaption(kind);
        case ColTime:
            return QString::fromStdString(LocalTimeText(r->timeUs));
        case ColDevice:
            return QString::fromStdString(PrintableText(r->device));
        case ColEvent:
            return EventCaption(r->eventId);
        case ColText:
            return FirstLine(r->text);
        default:
            return {};
    }
}

QVariant TEventHistoryModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    static const char* const titles[] = {"Type", "Time", "Device", "Event", "Text"};
    if (section < 0 || section >= ColumnCount) return {};
    return QString::fromLatin1(titles[section]);
}

const EventRecord* TEventHistoryModel::Record(int row) const {
    if (row < 0 || row >= static_cast<int>(rows_.size())) return nullptr;
    return &rows_[static_cast<std::size_t>(row)];
}

bool TEventHistoryModel::canFetchMore(const QModelIndex& parent) const {
    return !parent.isValid() && !continuing_ && next_.has_value();
}

void TEventHistoryModel::fetchMore(const QModelIndex& parent) {
    if (canFetchMore(parent)) Fill(PageRows);
}

bool TEventHistoryModel::EnsureOpen() {
    if (store_.IsOpen()) return true;
    // Reading never takes the writer's lock; a short wait covers the file's brief own locks.
    CEventStore::Settings settings;
    settings.busyTimeoutMs = 20;
    if (store_.Open(path_, CEventStore::Mode::Read, settings)) {
        error_.clear();
        return true;
    }
    error_ = QString::fromStdString(store_.LastError());
    return false;
}

void TEventHistoryModel::SetFilter(const EventFilter& filter) {
    beginResetModel();
    filter_ = filter;
    rows_.clear();
    next_.reset();
    atStart_ = true;
    continuing_ = false;
    wanted_ = 0;
    ++generation_;
    endResetModel();
    lastRowId_ = EnsureOpen() ? store_.LastRowId() : 0;
    if (lastRowId_ < 0) lastRowId_ = 0;
    Fill(PageRows);
}

void TEventHistoryModel::Fill(int wanted) {
    wanted_ = wanted;
    if (!EnsureOpen()) {
        emit StatusChanged();
        return;
    }
    QElapsedTimer clock;
    clock.start();
    std::vector<EventRecord> found;
    while (wanted_ > 0 && (atStart_ || next_) && clock.elapsed() < StepBudgetMs) {
        EventPage page;
        if (!store_.ReadPage(filter_, atStart_ ? std::nullopt : next_, wanted_, ScanRows, &page)) {
            error_ = QString::fromStdString(store_.LastError());
            store_.Close();  // opened afresh at the next try
            next_.reset();
            break;
        }
        atStart_ = false;
        next_ = page.next;
        wanted_ -= static_cast<int>(page.rows.size());
        for (EventRecord& r : page.rows) found.push_back(std::move(r));
    }
    if (!found.empty()) {
        const int first = static_cast<int>(rows_.size());
        beginInsertRows(QModelIndex(), first, first + static_cast<int>(found.size()) - 1);
        for (EventRecord& r : found) rows_.push_back(std::move(r));
        endInsertRows();
    }
    // The turn's time is up before the page is full: the rest comes in later turns.
    continuing_ = wanted_ > 0 && next_.has_value();
    if (continuing_) {
        const std::uint64_t generation = generation_;
        QTimer::singleShot(0, this, [this, generation] {
            if (generation == generation_) ContinueFill();
        });
    }
    emit StatusChanged();
}

void TEventHistoryModel::ContinueFill() {
    if (continuing_) Fill(wanted_);
}

bool TEventHistoryModel::Refresh() {
    if (!EnsureOpen()) {
        emit StatusChanged();
        return false;
    }
    if (atStart_) {
        // The history came into being after the window opened.
        SetFilter(filter_);
        return true;
    }
    const std::int64_t newest = store_.LastRowId();
    if (newest <= lastRowId_) return false;
    std::vector<EventRecord> fresh;
    if (!store_.ReadNewer(filter_, lastRowId_, newest, &fresh)) {
        error_ = QString::fromStdString(store_.LastError());
        store_.Close();
        emit StatusChanged();
        return false;
    }
    lastRowId_ = newest;
    if (!fresh.empty()) {
        beginInsertRows(QModelIndex(), 0, static_cast<int>(fresh.size()) - 1);
        rows_.insert(rows_.begin(), std::make_move_iterator(fresh.begin()),
                     std::make_move_iterator(fresh.end()));
        endInsertRows();
    }
    emit StatusChanged();
    return true;
}

QString TEventHistoryModel::StatusText() const {
    if (!error_.isEmpty()) return QStringLiteral("The event history cannot be read: ") + error_;
    const QString count =
        rows_.size() == 1 ? QStringLiteral("1 event")
                          : QStringLiteral("%1 events").arg(static_cast<qulonglong>(rows_.size()));
    if (continuing_) return count + QStringLiteral(" found so far; searching older events...");
    if (next_) return count + QStringLiteral(" shown; scroll down for older ones");
    return count;
}

std::vector<std::string> TEventHistoryModel::DeviceNames() {
    std::vector<std::string> names;
    if (EnsureOpen() && !store_.DeviceNames(&names)) names.clear();
    return names;
}
