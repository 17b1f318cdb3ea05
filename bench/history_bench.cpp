// Event history figures:
//   - the cost of writing one event: what the main thread pays (CEventHistory::Record: the
//     time stamp and the queue) and what the writer thread pays per event when events come
//     one at a time (one transaction each); median and 99th percentile in microseconds;
//   - on a history of one million events (a year of a 50-device site): opening the Event
//     History window, and each filter change, until the first page is shown and until the
//     search is over, with the longest time the event loop waited meanwhile.
// Usage: avlo_history_bench [--store PATH] [--runs N]
//          --store: the million-event file, made when missing (default
//                   /tmp/avlo-history-bench/events.sqlite; about 250 MB, kept for later runs)
//        avlo_history_bench --screenshot PNG
//          shows the window over a simulated site with faults (run it under xvfb-run) and
//          saves a picture of it
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/EventHistoryModel.h"
#include "app/EventHistoryWindow.h"
#include "app/MainUnit.h"
#include "history/EventHistory.h"
#include "platform/EventIds.h"
#include "platform/EventSink.h"
#include "platform/MessageBox.h"
#include "tools/devsim/Site.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int Devices = 50;
constexpr std::int64_t Events = 1000000;
// One year spread over the million events.
constexpr std::int64_t YearStartUs = 1735689600LL * 1000000;  // 2025-01-01 UTC
constexpr std::int64_t StepUs = 31536000LL * 1000000 / Events;

double Micros(Clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

struct Spread {
    double median = 0, p99 = 0, max = 0;
};

Spread SpreadOf(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    Spread s;
    if (v.empty()) return s;
    s.median = v[v.size() / 2];
    s.p99 = v[std::min(v.size() - 1, v.size() * 99 / 100)];
    s.max = v.back();
    return s;
}

EventRecord SiteEvent(std::int64_t i) {
    EventRecord r;
    r.timeUs = YearStartUs + i * StepUs;
    const int d = static_cast<int>((i * 7919) % Devices);
    r.device = "Amp " + std::to_string(d + 1);
    r.address = "127.0.89." + std::to_string(d + 2);
    r.serial = std::to_string(20000000 + d);
    if (i % 500 == 0) {
        r.eventId = EV_DEVICE_CONNECTION_LOST;
        r.type = EVENTLOG_WARNING_TYPE;
        r.text = r.device + " at " + r.address;
    } else if (i % 500 == 1) {
        r.eventId = EV_DEVICE_CONNECTED;
        r.type = EVENTLOG_INFORMATION_TYPE;
        r.text = r.device + " at " + r.address;
    } else {
        r.eventId = EV_DEVICE_ALERT;
        r.type = EVENTLOG_ERROR_TYPE;
        r.text = "AVLO Alert [RV12, # " + r.serial +
                 "]: " + (i % 3 ? "FAN FAILURE" : "CHANNEL FAILURE, HIGH TEMPERATURE") +
                 "\r\n\nMessage: *M1R2P3V7A1D0T1F0C7H000" + std::to_string(i % 100000) + "\n";
    }
    return r;
}

// Adds every event not yet in the text index, as the monitor's writer does between events
// (for a history made before there was an index: all of them), and says how long it took.
bool BuildTextIndex(CEventStore& store) {
    const std::int64_t backlog = store.TextIndexBacklog();
    if (backlog == 0) return true;
    std::vector<double> steps;
    const auto start = Clock::now();
    while (store.TextIndexBacklog() > 0) {
        const auto stepStart = Clock::now();
        if (!store.BuildTextIndex(2000)) {
            std::fprintf(stderr, "cannot build the text index: %s\n", store.LastError().c_str());
            return false;
        }
        steps.push_back(Micros(Clock::now() - stepStart) / 1000);
    }
    const Spread s = SpreadOf(steps);
    std::printf(
        "text index of %lld events built in %.1f s: %zu transactions of 2000 events,\n"
        "    median %.1f ms, longest %.1f ms\n",
        static_cast<long long>(backlog), Micros(Clock::now() - start) / 1e6, steps.size(), s.median,
        s.max);
    return true;
}

bool MakeMillionStore(const std::string& path) {
    CEventStore store;
    const auto openStart = Clock::now();
    if (store.Open(path, CEventStore::Mode::Write) && store.LastRowId() >= Events) {
        std::printf("opened the history for writing in %.1f ms\n",
                    Micros(Clock::now() - openStart) / 1000);
        return BuildTextIndex(store);
    }
    store.Close();
    std::filesystem::remove(path);
    std::filesystem::remove(path + "-wal");
    std::filesystem::remove(path + "-shm");
    if (!store.Open(path, CEventStore::Mode::Write)) {
        std::fprintf(stderr, "cannot make %s: %s\n", path.c_str(), store.LastError().c_str());
        return false;
    }
    std::fprintf(stderr, "making a history of %lld events in %s ...\n",
                 static_cast<long long>(Events), path.c_str());
    std::vector<EventRecord> batch;
    for (std::int64_t i = 0; i < Events; ++i) {
        batch.push_back(SiteEvent(i));
        if (batch.size() == 10000) {
            if (!store.Append(batch)) return false;
            batch.clear();
        }
    }
    return store.Append(batch) && BuildTextIndex(store);
}

void WriteCost(const std::string& folder) {
    const std::string path = folder + "/write-events.sqlite";
    std::filesystem::remove(path);
    std::vector<double> record;
    {
        CEventHistory history(path, nullptr);
        const std::string text =
            "AVLO Alert [RV12, # 20000007]: FAN FAILURE\r\n\nMessage: *M1R2*\n";
        const EventDevice device{"Amp 7", "127.0.89.9", "20000007"};
        for (int round = 0; round < 20; ++round) {
            for (int i = 0; i < 1000; ++i) {
                const auto start = Clock::now();
                history.Record(EVENTLOG_ERROR_TYPE, EV_DEVICE_ALERT, &text, &device);
                record.push_back(Micros(Clock::now() - start));
            }
            history.WaitIdle(10000);
        }
    }
    std::vector<double> append, index, checkpoint;
    {
        CEventStore store;
        store.Open(path, CEventStore::Mode::Write);
        for (int i = 0; i < 5000; ++i) {
            const std::vector<EventRecord> one{SiteEvent(i)};
            const auto start = Clock::now();
            store.Append(one);
            append.push_back(Micros(Clock::now() - start));
            // As the writer does: the text index takes new events a few hundred at a time.
            if (store.TextIndexBacklog() >= 256) {
                const auto indexStart = Clock::now();
                store.BuildTextIndex(2000);
                index.push_back(Micros(Clock::now() - indexStart));
            }
            // And the write-ahead log is copied into the file between events.
            const auto checkpointStart = Clock::now();
            if (store.Checkpoint(500) > 0)
                checkpoint.push_back(Micros(Clock::now() - checkpointStart));
        }
    }
    const Spread r = SpreadOf(record), a = SpreadOf(append), x = SpreadOf(index),
                 c = SpreadOf(checkpoint);
    std::printf(
        "write one event, main thread (Record: stamp + queue), 20000 events:\n"
        "    median %.2f us, p99 %.2f us, max %.1f us\n",
        r.median, r.p99, r.max);
    std::printf(
        "write one event, writer thread (one transaction per event, WAL), 5000 events:\n"
        "    median %.1f us, p99 %.1f us, max %.1f us\n",
        a.median, a.p99, a.max);
    std::printf(
        "adding 256 new events to the text index, writer thread (%zu times):\n"
        "    median %.1f us (%.1f us an event), max %.1f us\n",
        index.size(), x.median, x.median / 256, x.max);
    std::printf(
        "copying the write-ahead log into the file between events, writer thread (%zu times):\n"
        "    median %.1f us, max %.1f us\n",
        checkpoint.size(), c.median, c.max);
}

// Runs the event loop until the model's search is over; the time to the first page, to the
// end, and the longest wait of the event loop meanwhile (a 0 ms timer's longest gap).
struct Timing {
    double firstPageMs = 0, doneMs = 0, longestTurnMs = 0;
    int rows = 0;
};

Timing Measure(TEventHistoryModel& model, const std::function<void()>& act) {
    Timing t;
    QElapsedTimer clock;
    QTimer ticker;
    ticker.setInterval(0);
    qint64 lastTick = 0;
    QObject::connect(&ticker, &QTimer::timeout, &ticker, [&] {
        const qint64 now = clock.nsecsElapsed();
        t.longestTurnMs = std::max(t.longestTurnMs, (now - lastTick) / 1e6);
        lastTick = now;
    });
    clock.start();
    ticker.start();
    act();
    const qint64 afterAct = clock.nsecsElapsed();
    t.longestTurnMs = std::max(t.longestTurnMs, afterAct / 1e6);
    lastTick = afterAct;
    bool first = false;
    while (true) {
        if (!first && (model.rowCount() >= TEventHistoryModel::PageRows || !model.Searching())) {
            t.firstPageMs = clock.nsecsElapsed() / 1e6;
            first = true;
        }
        if (!model.Searching()) break;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
    t.doneMs = clock.nsecsElapsed() / 1e6;
    t.rows = model.rowCount();
    return t;
}

void Print(const char* what, const std::vector<Timing>& runs) {
    std::vector<double> first, done, turn;
    for (const Timing& t : runs) {
        first.push_back(t.firstPageMs);
        done.push_back(t.doneMs);
        turn.push_back(t.longestTurnMs);
    }
    const Spread f = SpreadOf(first), d = SpreadOf(done), l = SpreadOf(turn);
    std::printf(
        "  %-44s first page %7.1f ms (max %7.1f)  done %7.1f ms  longest turn %5.1f ms"
        "  rows %d\n",
        what, f.median, f.max, d.median, l.max, runs.front().rows);
}

void ViewerCost(const std::string& storePath, int runs) {
    std::printf("Event History window on %lld events (median of %d runs):\n",
                static_cast<long long>(Events), runs);
    std::vector<Timing> open;
    for (int i = 0; i < runs; ++i) {
        TEventHistoryWindow* window = nullptr;
        QElapsedTimer clock;
        clock.start();
        window = new TEventHistoryWindow(storePath);
        window->show();
        QCoreApplication::processEvents();
        Timing t;
        t.firstPageMs = t.doneMs = t.longestTurnMs = clock.nsecsElapsed() / 1e6;
        t.rows = window->Model().rowCount();
        open.push_back(t);
        delete window;
    }
    Print("open the window (build, show, first page)", open);

    TEventHistoryWindow window(storePath);
    window.show();
    QCoreApplication::processEvents();
    auto& model = window.Model();
    const auto reset = [&] {
        const QSignalBlocker a(window.DeviceFilterCombo), b(window.TypeFilterCombo),
            c(window.SearchEdit), d(window.SinceCheck), e(window.UntilCheck);
        window.DeviceFilterCombo->setCurrentIndex(0);
        window.TypeFilterCombo->setCurrentIndex(0);
        window.SearchEdit->clear();
        window.SinceCheck->setChecked(false);
        window.UntilCheck->setChecked(false);
        window.FilterChange();
        while (model.Searching()) QCoreApplication::processEvents();
    };
    // Each filter as the user sets it: every step is a filter change of its own, so a
    // combination's figure includes the reading after each of its parts.
    const auto device = [&] {
        window.DeviceFilterCombo->setCurrentIndex(window.DeviceFilterCombo->findText("Amp 17"));
    };
    const auto type = [&](const char* caption) {
        window.TypeFilterCombo->setCurrentIndex(window.TypeFilterCombo->findText(caption));
    };
    const auto week = [&] {
        window.SinceDateEdit->setDate(QDate(2025, 6, 2));
        window.UntilDateEdit->setDate(QDate(2025, 6, 8));
        window.UntilCheck->setChecked(true);
        window.SinceCheck->setChecked(true);
    };
    const auto text = [&](const char* t) { window.SearchEdit->setText(QString::fromUtf8(t)); };
    const struct {
        const char* what;
        std::function<void()> act;
    } filters[] = {
        {"device \"Amp 17\"", device},
        {"type warnings (0.2 %)", [&] { type("Warnings"); }},
        {"type information (0.2 %)", [&] { type("Information"); }},
        {"date range, one week in June", week},
        {"text \"fan\" (frequent)", [&] { text("fan"); }},
        {"text \"H00012345\" (10 events)", [&] { text("H00012345"); }},
        {"text \"zzzq\" (no event)", [&] { text("zzzq"); }},
        {"text \"lost\" (event name, 0.2 %)", [&] { text("lost"); }},
        {"text \"amp 17\" (device name, 2 %)", [&] { text("amp 17"); }},
        {"text \"zq\" (2 characters, no event)", [&] { text("zq"); }},
        {"text \"fa\" (2 characters, frequent)", [&] { text("fa"); }},
        {"text \"x\" (1 character, no event)", [&] { text("x"); }},
        {"device + text \"zq\"",
         [&] {
             device();
             text("zq");
         }},
        {"device + text \"zzzq\"",
         [&] {
             device();
             text("zzzq");
         }},
        {"device + text \"fan\"",
         [&] {
             device();
             text("fan");
         }},
        {"device + text \"H00012345\"",
         [&] {
             device();
             text("H00012345");
         }},
        {"errors + text \"temperature\"",
         [&] {
             type("Errors");
             text("temperature");
         }},
        {"errors + text \"zzzq\"",
         [&] {
             type("Errors");
             text("zzzq");
         }},
        {"warnings + text \"zzzq\"",
         [&] {
             type("Warnings");
             text("zzzq");
         }},
        {"week + text \"zzzq\"",
         [&] {
             week();
             text("zzzq");
         }},
        {"week + text \"fan\"",
         [&] {
             week();
             text("fan");
         }},
        {"device + errors + week + text \"failure\"",
         [&] {
             device();
             type("Errors");
             week();
             text("failure");
         }},
        {"device + information + week + text \"zzzq\"",
         [&] {
             device();
             type("Information");
             week();
             text("zzzq");
         }},
        {"scroll: 10 more pages, no filter",
         [&] {
             for (int i = 0; i < 10; ++i) model.fetchMore(QModelIndex());
         }},
        {"scroll: 10 more pages, text \"fan\"",
         [&] {
             text("fan");
             for (int i = 0; i < 10; ++i) model.fetchMore(QModelIndex());
         }},
    };
    for (const auto& f : filters) {
        std::vector<Timing> timings;
        for (int i = 0; i < runs; ++i) {
            reset();
            timings.push_back(Measure(model, f.act));
        }
        Print(f.what, timings);
    }
}

// The picture for the README: a simulated site with faults, the monitor running for a few
// polls, the history window over it.
int Screenshot(const std::string& png) {
    MessageBoxSeam::Capture(true);
    QTemporaryDir dir;
    const std::string hub = "127.0.89.254";
    const std::uint16_t port = 63189;
    devsim::Site site(devsim::SiteOptions{hub, port});
    if (!site.Start()) return 1;
    const char* names[] = {"Stage Left", "Stage Right", "Foyer", "Hall A", "Hall B", "Bar"};
    std::string ini = "[Email]\r\nAlerts=1\r\n[Options]\r\nPoll=1000\r\n[AVLO]\r\nRegistered=6\r\n";
    for (int i = 0; i < 6; ++i) {
        devsim::DeviceConfig c;
        c.address = "127.0.89." + std::to_string(i + 2);
        c.modelText = "0" + std::to_string(i % 4);
        c.serial = std::to_string(31000100 + i);
        c.udpPort = port;
        c.answerDiscovery = false;
        site.AddDevice(c);
        ini += "Name " + std::to_string(i) + "=" + names[i] + "\r\nIP " + std::to_string(i) + "=" +
               c.address + "\r\navlo " + std::to_string(i) + "=1\r\n";
    }
    StartupOptions options;
    options.configPath = dir.filePath("site.ini").toStdString();
    options.lockPath = dir.filePath("site.lock").toStdString();
    options.discoveryAddress = hub;
    options.discoveryPort = port;
    if (FILE* f = std::fopen(options.configPath.c_str(), "wb")) {
        std::fputs(ini.c_str(), f);
        std::fclose(f);
    }
    const auto run = [](int ms) {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    };
    auto form = std::make_unique<TMainForm>(options);
    form->Core().ShutdownPauseMs = 0;
    run(1500);
    site.SetChannelFault(1, 3, devsim::ChannelFault::Fan, true);
    run(1200);
    site.SetSupplyFault(3, 1, true);
    run(1200);
    site.DropConnection(4);
    run(1500);
    site.SetChannelFault(0, 2, devsim::ChannelFault::Temperature, true);
    run(1200);
    form->EventViewerMenu->trigger();
    TEventHistoryWindow* window = form->EventHistory;
    window->resize(1000, 620);
    run(300);
    window->EventTable->selectRow(1);
    run(300);
    const bool saved = window->grab().save(QString::fromStdString(png));
    std::printf("%s %s (%d events)\n", saved ? "saved" : "could not save", png.c_str(),
                window->Model().rowCount());
    form.reset();
    return saved ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string store = "/tmp/avlo-history-bench/events.sqlite";
    std::string screenshot;
    int runs = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        if (name == "--store") store = argv[i + 1];
        if (name == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
        if (name == "--screenshot") screenshot = argv[i + 1];
    }
    if (screenshot.empty() && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (!screenshot.empty()) return Screenshot(screenshot);

    std::filesystem::create_directories(std::filesystem::path(store).parent_path());
    WriteCost(std::filesystem::path(store).parent_path().string());
    if (!MakeMillionStore(store)) return 1;
    ViewerCost(store, runs);
    return 0;
}
