#pragma once

#include <QEvent>
#include <QObject>
#include <QStringList>
#include <QTreeWidget>
#include <QTreeWidgetItem>

#include "app/MainUnit.h"

// Watches the window messages that reach the form's core (its only events of the user range): counts
// them and samples one row before each is handled, which is what the row showed after the
// previous one. So every state the row passed through is seen, however many messages one turn
// of the event loop handles.
class MessageWatch : public QObject {
public:
    MessageWatch(TMainForm& form, int row) : form_(form), row_(row) {
        form.Core().installEventFilter(this);
        Sample();
    }
    int Messages() const { return messages_; }
    // "status | condition" texts, each different from the one before.
    QStringList States() {
        Sample();
        return states_;
    }

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() >= QEvent::User && e->type() <= QEvent::MaxUser) {
            ++messages_;
            Sample();
        }
        return false;
    }

private:
    static constexpr int StatusColumn = 3;
    static constexpr int ConditionColumn = 4;

    void Sample() {
        const QTreeWidgetItem* item = form_.ListView->topLevelItem(row_);
        if (!item) return;
        const QString state = item->text(StatusColumn) + " | " + item->text(ConditionColumn);
        if (states_.isEmpty() || states_.back() != state) states_ << state;
    }
    TMainForm& form_;
    int row_;
    int messages_ = 0;
    QStringList states_;
};
