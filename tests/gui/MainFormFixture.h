#pragma once

// The main window on a simulated site, for the tests of the window's own behaviour: its
// controls, menus, close box and device list. Shell launches are captured as well.
#include <QTreeWidget>

#include "app/MainUnit.h"
#include "app/Shell.h"
#include "support/SimulatedSiteFixture.h"

class MainFormFixture : public SimulatedSiteFixture {
protected:
    using SimulatedSiteFixture::SimulatedSiteFixture;

    void SetUp() override {
        SimulatedSiteFixture::SetUp();
        ShellSeam::Capture(true);
    }
    void TearDown() override {
        SimulatedSiteFixture::TearDown();
        ShellSeam::Capture(false);
    }

    void StartForm(std::vector<std::string> arguments = {}) {
        options_.arguments = std::move(arguments);
        form_ = std::make_unique<TMainForm>(options_);
        form_->Core().ShutdownPauseMs = 0;
    }
    void StopForm() { form_.reset(); }
    void StartQuiet() {
        StartForm();
        WaitForFirstPoll();
    }

    CMonitorCore& Monitor() override { return form_->Core(); }
    void StopMonitor() override { StopForm(); }

    QString Cell(int row, int column) const override {
        const QTreeWidgetItem* item = form_->ListView->topLevelItem(row);
        return item ? item->text(column) : QString();
    }
    bool Ticked(int row) const override {
        const QTreeWidgetItem* item = form_->ListView->topLevelItem(row);
        return item && item->checkState(0) == Qt::Checked;
    }

    std::unique_ptr<TMainForm> form_;
};
