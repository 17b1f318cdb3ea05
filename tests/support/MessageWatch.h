#pragma once

#include <QEvent>
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <utility>

#include "monitoring/MonitorCore.h"

// Watches the window messages that reach the monitor core from other threads (its only queued
// calls): counts them and samples a state (a row's "status | condition") before each is handled,
// which is what the row showed after the previous one. So every state the row passed through is
// seen, however many messages one turn of the event loop handles.
class MessageWatch : public QObject {
public:
    MessageWatch(CMonitorCore& core, std::function<QString()> state) : state_(std::move(state)) {
        core.installEventFilter(this);
        Sample();
    }
    int Messages() const { return messages_; }
    // The states, each different from the one before.
    QStringList States() {
        Sample();
        return states_;
    }

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::MetaCall) {
            ++messages_;
            Sample();
        }
        return false;
    }

private:
    void Sample() {
        const QString state = state_();
        if (state.isEmpty()) return;
        if (states_.isEmpty() || states_.back() != state) states_ << state;
    }
    std::function<QString()> state_;
    int messages_ = 0;
    QStringList states_;
};
