// The Event History window: opened by the Tools menu's event viewer command instead of an
// outside program, kept for the run, its filters applied as they change, new events shown
// live, the whole text of an event below the table, and the filtered events exported as CSV.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>
#include <fstream>
#include <sstream>

#include "MainFormFixture.h"
#include "app/EventHistoryModel.h"
#include "app/EventHistoryWindow.h"
#include "history/EventQuery.h"
#include "platform/EventIds.h"
#include "support/ScopedTimeZone.h"

namespace {

class EventHistoryWindowTest : public MainFormFixture {
protected:
    EventHistoryWindowTest() : MainFormFixture(82) {}

    std::string StorePath() const { return EventStorePath(options_.configPath); }

    static std::vector<std::string> Texts(TEventHistoryModel& model) {
        std::vector<std::string> texts;
        for (int row = 0; row < model.rowCount(); ++row) texts.push_back(model.Record(row)->text);
        return texts;
    }
    static bool Settled(TEventHistoryModel& model) { return !model.Searching(); }

    // A few days of a site, at local times of the test's zone.
    void WriteSite() {
        CEventStore store;
        ASSERT_TRUE(store.Open(StorePath(), CEventStore::Mode::Write)) << store.LastError();
        const auto at = [](int day, int hour, std::uint32_t id, std::uint16_t type,
                           const std::string& device, const std::string& text) {
            EventRecord r;
            r.timeUs = LocalToUtcMicros(2026, 3, day, hour);
            r.eventId = id;
            r.type = type;
            r.device = device;
            r.address = device.empty() ? "" : "127.0.82.9";
            r.text = text;
            return r;
        };
        ASSERT_TRUE(store.Append({
            at(1, 8, EV_MONITOR_STARTED, EVENTLOG_SUCCESS, "", "start"),
            at(1, 9, EV_DEVICE_CONNECTED, EVENTLOG_INFORMATION_TYPE, "Amp 1", "Amp 1 up"),
            at(2, 9, EV_DEVICE_ALERT, EVENTLOG_ERROR_TYPE, "Amp 1",
               "AVLO Alert: FAN FAILURE\r\n\nMessage: *fan*"),
            at(3, 9, EV_DEVICE_CONNECTION_LOST, EVENTLOG_WARNING_TYPE, "Hall", "Hall lost"),
            at(4, 9, EV_EMAIL_FAILED, EVENTLOG_ERROR_TYPE, "Hall", "[3] no, \"server\" said"),
        }));
    }
};

TEST_F(EventHistoryWindowTest, TheEventViewerCommandOpensTheHistoryWindowForTheRun) {
    WriteConfig("[AVLO]\r\nRegistered=1\r\nName 0=Foyer\r\nIP 0=" + Address(40) + "\r\n");
    StartQuiet();
    ASSERT_TRUE(Monitor().History()->WaitIdle(3000));
    EXPECT_EQ(form_->EventViewerMenu->statusTip(),
              "Display the events logged by AVLO Monitor in its event history");
    form_->EventViewerMenu->trigger();
    TEventHistoryWindow* window = form_->EventHistory;
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(window->isModal());
    EXPECT_TRUE(window->isWindow());
    EXPECT_TRUE(ShellSeam::TakeOpened().empty()) << "an outside program was started";
    // Newest first: the device's registration after the start.
    ASSERT_EQ(window->Model().rowCount(), 2);
    EXPECT_EQ(window->Model().Record(0)->eventId, EV_DEVICE_REGISTERED);
    EXPECT_EQ(window->Model().Record(1)->eventId, EV_MONITOR_STARTED);
    EXPECT_EQ(window->Model().data(window->Model().index(0, TEventHistoryModel::ColDevice),
                                   Qt::DisplayRole),
              "Foyer");

    // Closed, it keeps its size and filters for the next opening, from either menu.
    window->resize(700, 450);
    window->SearchEdit->setText(QStringLiteral("Foyer"));
    window->close();
    EXPECT_FALSE(window->isVisible());
    form_->EventViewerMenu1->trigger();
    EXPECT_EQ(form_->EventHistory, window);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->size(), QSize(700, 450));
    EXPECT_EQ(window->SearchEdit->text(), "Foyer");
    EXPECT_EQ(window->Model().rowCount(), 1);
}

TEST_F(EventHistoryWindowTest, NewEventsAppearLiveWhenTheyMatch) {
    StartQuiet();
    form_->EventViewerMenu->trigger();
    TEventHistoryWindow* window = form_->EventHistory;
    ASSERT_NE(window, nullptr);
    window->TypeFilterCombo->setCurrentIndex(window->TypeFilterCombo->findText("Information"));
    window->SearchEdit->setText(QStringLiteral("hall"));
    EXPECT_EQ(window->Model().rowCount(), 0);
    Add("Lobby", Address(41), false);
    Add("Hall", Address(42), false);
    ASSERT_TRUE(WaitUntil([&] { return window->Model().rowCount() == 1; }, 3000));
    EXPECT_EQ(window->Model().Record(0)->device, "Hall");
    EXPECT_EQ(window->Model().Record(0)->eventId, EV_DEVICE_REGISTERED);
    // A device seen for the first time becomes one to filter by.
    EXPECT_GE(window->DeviceFilterCombo->findText("Hall"), 1);
    EXPECT_GE(window->DeviceFilterCombo->findText("Lobby"), 1);
}

TEST_F(EventHistoryWindowTest, FiltersApplyAsTheyChange) {
    const ScopedTimeZone zone("Australia/Sydney");
    WriteSite();
    TEventHistoryWindow window(StorePath());
    window.show();
    auto& model = window.Model();
    EXPECT_EQ(Texts(model), (std::vector<std::string>{"[3] no, \"server\" said", "Hall lost",
                                                      "AVLO Alert: FAN FAILURE\r\n\nMessage: *fan*",
                                                      "Amp 1 up", "start"}));
    ASSERT_EQ(window.DeviceFilterCombo->count(), 3);  // all, Amp 1, Hall

    const struct {
        const char* name;
        std::function<void()> set;
        std::vector<std::string> texts;
    } steps[] = {
        {"device",
         [&] {
             window.DeviceFilterCombo->setCurrentIndex(window.DeviceFilterCombo->findText("Amp 1"));
         },
         {"AVLO Alert: FAN FAILURE\r\n\nMessage: *fan*", "Amp 1 up"}},
        {"device and errors",
         [&] {
             window.TypeFilterCombo->setCurrentIndex(window.TypeFilterCombo->findText("Errors"));
         },
         {"AVLO Alert: FAN FAILURE\r\n\nMessage: *fan*"}},
        {"errors of every device",
         [&] { window.DeviceFilterCombo->setCurrentIndex(0); },
         {"[3] no, \"server\" said", "AVLO Alert: FAN FAILURE\r\n\nMessage: *fan*"}},
        {"text as it is typed",
         [&] { window.SearchEdit->setText(QStringLiteral("SERV")); },
         {"[3] no, \"server\" said"}},
        {"no text, warnings",
         [&] {
             window.SearchEdit->clear();
             window.TypeFilterCombo->setCurrentIndex(window.TypeFilterCombo->findText("Warnings"));
         },
         {"Hall lost"}},
        {"local days, both included",
         [&] {
             window.TypeFilterCombo->setCurrentIndex(0);
             window.SinceDateEdit->setDate(QDate(2026, 3, 2));
             window.UntilDateEdit->setDate(QDate(2026, 3, 3));
             window.SinceCheck->setChecked(true);
             window.UntilCheck->setChecked(true);
         },
         {"Hall lost", "AVLO Alert: FAN FAILURE\r\n\nMessage: *fan*"}},
        {"open end",
         [&] { window.UntilCheck->setChecked(false); },
         {"[3] no, \"server\" said", "Hall lost", "AVLO Alert: FAN FAILURE\r\n\nMessage: *fan*"}},
    };
    for (const auto& step : steps) {
        step.set();
        ASSERT_TRUE(WaitUntil([&] { return Settled(model); }, 3000)) << step.name;
        EXPECT_EQ(Texts(model), step.texts) << step.name;
    }

    // The selected event's whole text below the table, line breaks and all.
    window.EventTable->selectRow(2);
    const QString detail = window.DetailText->toPlainText();
    EXPECT_TRUE(detail.contains("Device: Amp 1 at 127.0.82.9")) << detail.toStdString();
    EXPECT_TRUE(detail.endsWith("AVLO Alert: FAN FAILURE\n\nMessage: *fan*"))
        << detail.toStdString();
    EXPECT_EQ(model.data(model.index(2, TEventHistoryModel::ColText), Qt::DisplayRole),
              "AVLO Alert: FAN FAILURE");
}

TEST_F(EventHistoryWindowTest, ASearchThroughManyEventsGoesOnInStepsUntilTheEnd) {
    {
        CEventStore store;
        ASSERT_TRUE(store.Open(StorePath(), CEventStore::Mode::Write));
        std::vector<EventRecord> batch(3 * TEventHistoryModel::ScanRows + 7);
        for (std::size_t i = 0; i < batch.size(); ++i) {
            batch[i].timeUs = 1000 + static_cast<std::int64_t>(i);
            batch[i].eventId = EV_DEVICE_ALERT;
            batch[i].type = EVENTLOG_ERROR_TYPE;
            batch[i].text = i == 0                  ? "the needle"
                            : i == batch.size() - 1 ? "needle, newest"
                                                    : "hay";
        }
        ASSERT_TRUE(store.Append(batch));
    }
    TEventHistoryWindow window(StorePath());
    window.SearchEdit->setText(QStringLiteral("needle"));
    ASSERT_TRUE(WaitUntil([&] { return Settled(window.Model()); }, 5000));
    EXPECT_EQ(Texts(window.Model()), (std::vector<std::string>{"needle, newest", "the needle"}));
    EXPECT_TRUE(window.Model().AtEnd());
    EXPECT_EQ(window.StatusLabel->text(), "2 events");
}

TEST_F(EventHistoryWindowTest, ExportWritesTheFilteredEventsAsCsv) {
    WriteSite();
    TEventHistoryWindow window(StorePath());
    window.DeviceFilterCombo->setCurrentIndex(window.DeviceFilterCombo->findText("Hall"));
    const std::string file = Path("export.csv");
    window.ExportPathPrompt = [&] { return QString::fromStdString(file); };
    bool finished = false, ok = false;
    QObject::connect(&window, &TEventHistoryWindow::ExportFinished, &window,
                     [&](bool result, const QString&) {
                         finished = true;
                         ok = result;
                     });
    window.ExportBtn->click();
    ASSERT_TRUE(WaitUntil([&] { return finished; }, 5000));
    EXPECT_TRUE(ok);
    EXPECT_TRUE(window.ExportBtn->isEnabled());

    std::string expected = EventCsvHeader();
    CEventStore reader;
    ASSERT_TRUE(reader.Open(StorePath(), CEventStore::Mode::Read));
    EventFilter hall;
    hall.device = "Hall";
    int count = 0;
    reader.ReadAll(hall, [&](const EventRecord& r) {
        expected += EventCsvRecord(r);
        ++count;
        return true;
    });
    EXPECT_EQ(count, 2);
    std::ifstream in(file, std::ios::binary);
    std::stringstream written;
    written << in.rdbuf();
    EXPECT_EQ(written.str(), expected);
}

}  // namespace
