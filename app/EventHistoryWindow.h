#pragma once

#include <QString>
#include <QWidget>
#include <functional>
#include <string>
#include <thread>

#include "history/EventStore.h"

class QCheckBox;
class QComboBox;
class QDateEdit;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTableView;
class QTimer;
class TEventHistoryModel;

// The "Event History" window of the Tools menu's event viewer command: the site's history,
// newest first, with filters for device, type, days and free text applied as they change, the
// whole text of the selected event below, new events arriving live, and an export of the
// filtered events as CSV. It is not modal; the main window keeps it (size and filters
// included) for the whole run and only hides it when closed.
class TEventHistoryWindow : public QWidget {
    Q_OBJECT

public:
    explicit TEventHistoryWindow(const std::string& storePath, QWidget* parent = nullptr);
    ~TEventHistoryWindow() override;

    // Shows the events written since the last look (the window looks twice a second while it
    // is shown).
    void HistoryChanged();
    static constexpr int RefreshMs = 500;
    // The filter the controls describe, as the table applies it.
    EventFilter CurrentFilter() const;
    TEventHistoryModel& Model() { return *model_; }

    // Where "Export..." writes; asks the user by default. Tests answer in advance.
    std::function<QString()> ExportPathPrompt;

    // controls (named as in the window)
    QComboBox* DeviceFilterCombo = nullptr;
    QComboBox* TypeFilterCombo = nullptr;
    QCheckBox* SinceCheck = nullptr;
    QDateEdit* SinceDateEdit = nullptr;
    QCheckBox* UntilCheck = nullptr;
    QDateEdit* UntilDateEdit = nullptr;
    QLineEdit* SearchEdit = nullptr;
    QTableView* EventTable = nullptr;
    QPlainTextEdit* DetailText = nullptr;
    QPushButton* ExportBtn = nullptr;
    QLabel* StatusLabel = nullptr;

    void FilterChange();
    void EventTableSelectionChange();
    void ExportBtnClick();

signals:
    // An export has ended: how many events went into the file, or the reason it failed.
    void ExportFinished(bool ok, const QString& text);

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void BuildControls();
    void FillDeviceNames();
    void ShowStatus();
    void ExportDone(bool ok, const QString& text);

    TEventHistoryModel* model_ = nullptr;
    QTimer* refreshTimer_ = nullptr;
    std::thread exportThread_;
};
