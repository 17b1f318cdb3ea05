#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "history/EventStore.h"

// The rows of the event history window: the events that match the filter, newest first,
// read from the history file a page at a time as the table scrolls, so that a year of events
// opens as fast as a day's. A filter that needs every row looked at (free text) is answered
// in short steps between which the event loop runs: monitoring and typing never wait for it.
class TEventHistoryModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column : int { ColType, ColTime, ColDevice, ColEvent, ColText, ColumnCount };
    // Rows the table gets at once, and candidates looked at per step of a search.
    static constexpr int PageRows = 200;
    static constexpr int ScanRows = 4000;
    // Longest the event loop is kept per turn while a page is being filled (give or take one
    // step): the monitor's own messages wait no longer than that.
    static constexpr int StepBudgetMs = 15;

    explicit TEventHistoryModel(std::string storePath, QObject* parent = nullptr);
    ~TEventHistoryModel() override;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;

    // Starts over with another filter: the first page is there when this returns, unless
    // the search still goes on (Searching()).
    void SetFilter(const EventFilter& filter);
    const EventFilter& Filter() const { return filter_; }
    // Puts the events written since the last look that match on top; false when the file had
    // nothing new.
    bool Refresh();

    const EventRecord* Record(int row) const;
    bool Searching() const { return continuing_; }
    bool AtEnd() const { return !next_ && !atStart_; }
    // What the status line says: the number of rows, a search under way, or why the history
    // cannot be read.
    QString StatusText() const;
    const std::string& StorePath() const { return path_; }
    // The device names that have events (for the device filter); empty when unreadable.
    std::vector<std::string> DeviceNames();

    // The short caption an event id is shown with ("Device alert").
    static QString EventCaption(std::uint32_t id);

signals:
    // Rows were added, or the search or the history's state changed.
    void StatusChanged();

private:
    bool EnsureOpen();
    // Reads until `wanted` more rows are there, the history ends or the turn's time is up.
    void Fill(int wanted);
    void ContinueFill();

    std::string path_;
    CEventStore store_;
    EventFilter filter_;
    std::vector<EventRecord> rows_;
    std::optional<EventCursor> next_;  // where reading goes on
    bool atStart_ = true;              // nothing read yet for this filter
    std::int64_t lastRowId_ = 0;       // the newest event seen for this filter
    int wanted_ = 0;                   // rows still to find for the page being filled
    bool continuing_ = false;
    std::uint64_t generation_ = 0;  // a continuation of an older filter is dropped
    QString error_;
};
