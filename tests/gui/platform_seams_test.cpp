#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QTextBrowser>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <chrono>
#include <cstdio>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "app/Shell.h"
#include "platform/MessageBox.h"
#include "platform/SignalBridge.h"

// Readable failure messages for Qt strings and URLs (found by argument-dependent lookup).
[[maybe_unused]] static void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
[[maybe_unused]] static void PrintTo(const QUrl& url, std::ostream* out) {
    *out << '<' << url.toString().toStdString() << '>';
}

namespace {

using ::testing::ElementsAre;

// Runs the event loop until done() holds or the time is up; returns done().
template <class Done>
bool PumpUntil(Done done, int limitMs = 2000) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < limitMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

void PollForModal(QObject* context, std::function<void(QWidget*)> act,
                  std::chrono::steady_clock::time_point deadline) {
    QTimer::singleShot(5, context, [context, act, deadline] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            act(modal);
            return;
        }
        if (std::chrono::steady_clock::now() < deadline) PollForModal(context, act, deadline);
    });
}

// Calls act on the first modal widget that appears within 2 s, from the event loop of
// whatever modal dialog is running. The timers belong to context, so none outlives the test.
void OnModal(QObject* context, std::function<void(QWidget*)> act) {
    PollForModal(context, std::move(act),
                 std::chrono::steady_clock::now() + std::chrono::seconds(2));
}

// For as long as context lives, closes every modal widget that appears and counts it, so that
// a box shown where none may be is seen as a failure instead of hanging the test.
void CloseEveryModal(QObject* context, int* count) {
    auto* timer = new QTimer(context);
    QObject::connect(timer, &QTimer::timeout, context, [count] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            ++*count;
            modal->close();
        }
    });
    timer->start(5);
}

std::string ReadAll(std::FILE* file) {
    std::fflush(file);
    std::rewind(file);
    std::string all;
    char buffer[256];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) all.append(buffer, n);
    return all;
}

// ---------------------------------------------------------------------------------------------
// Message boxes

const QString kTitle = QStringLiteral("AVLO Monitor");
// CR LF breaks as the texts are written, a non-ASCII character, and markup that must stay text.
const QString kText =
    QStringLiteral("Device 127.0.0.2 \u00b7 <b>Hall A</b>\r\nis not answering.\r\n");

class MessageBoxTest : public ::testing::Test {
protected:
    void TearDown() override {
        MessageBoxSeam::Capture(false);
        MessageBoxSeam::SetHeadless(false);
    }
    QObject context_;
};

// Capture and headless mode answer without showing anything; a box that does appear is closed
// (so that the test fails instead of hanging) and counted.
class MessageBoxSeamTest : public MessageBoxTest {
protected:
    void SetUp() override { CloseEveryModal(&context_, &boxesShown_); }
    void TearDown() override {
        MessageBoxTest::TearDown();
        EXPECT_EQ(boxesShown_, 0) << "a box was shown instead of being answered at once";
    }
    int boxesShown_ = 0;
};

const MsgKind kAllKinds[] = {MsgKind::Warning, MsgKind::Error, MsgKind::Information,
                             MsgKind::Confirmation};

int DefaultAnswerOf(MsgKind kind) {
    return kind == MsgKind::Confirmation ? MsgResultYes : MsgResultOk;
}

TEST_F(MessageBoxSeamTest, CaptureRecordsEveryBoxExactlyAndShowsNothing) {
    MessageBoxSeam::Capture(true);

    for (const MsgKind kind : kAllKinds) {
        const QString title = kTitle + QString::number(static_cast<int>(kind));
        EXPECT_EQ(ShowMessage(nullptr, kind, title, kText), DefaultAnswerOf(kind));
        EXPECT_EQ(boxesShown_, 0);
    }

    const std::vector<MessageBoxSeam::Shown> shown = MessageBoxSeam::TakeShown();
    ASSERT_EQ(shown.size(), std::size(kAllKinds));
    for (std::size_t i = 0; i < shown.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(shown[i].kind, kAllKinds[i]);
        EXPECT_EQ(shown[i].title, kTitle + QString::number(static_cast<int>(kAllKinds[i])));
        EXPECT_EQ(shown[i].text, kText);  // the CR LF breaks are kept
    }
    EXPECT_TRUE(MessageBoxSeam::TakeShown().empty());
}

TEST_F(MessageBoxSeamTest, PresetAnswerIsUsedByTheNextBoxOnly) {
    MessageBoxSeam::Capture(true);

    MessageBoxSeam::SetNextAnswer(MsgResultNo);
    EXPECT_EQ(ShowMessage(nullptr, MsgKind::Confirmation, kTitle, kText), MsgResultNo);
    EXPECT_EQ(ShowMessage(nullptr, MsgKind::Confirmation, kTitle, kText), MsgResultYes);

    // The preset belongs to whichever box comes next, and a later preset replaces an earlier one.
    MessageBoxSeam::SetNextAnswer(MsgResultYes);
    MessageBoxSeam::SetNextAnswer(MsgResultNo);
    EXPECT_EQ(ShowMessage(nullptr, MsgKind::Warning, kTitle, kText), MsgResultNo);
    EXPECT_EQ(ShowMessage(nullptr, MsgKind::Warning, kTitle, kText), MsgResultOk);

    // Turning capture on again starts clean: no recorded boxes, no leftover preset.
    MessageBoxSeam::SetNextAnswer(MsgResultNo);
    MessageBoxSeam::Capture(false);
    MessageBoxSeam::Capture(true);
    EXPECT_TRUE(MessageBoxSeam::TakeShown().empty());
    EXPECT_EQ(ShowMessage(nullptr, MsgKind::Confirmation, kTitle, kText), MsgResultYes);
    EXPECT_EQ(MessageBoxSeam::TakeShown().size(), 1u);
}

TEST_F(MessageBoxSeamTest, HeadlessWritesEachBoxToTheSinkAndAnswersTheDefault) {
    std::FILE* sink = std::tmpfile();
    ASSERT_NE(sink, nullptr);
    MessageBoxSeam::SetHeadless(true, sink);

    for (const MsgKind kind : kAllKinds) {
        EXPECT_EQ(ShowMessage(nullptr, kind, kTitle, kText), DefaultAnswerOf(kind));
    }
    EXPECT_EQ(ShowMessage(nullptr, MsgKind::Error, kTitle, QStringLiteral("no break at the end")),
              MsgResultOk);
    EXPECT_EQ(boxesShown_, 0);
    EXPECT_TRUE(MessageBoxSeam::TakeShown().empty());

    const std::string line = "Device 127.0.0.2 \xC2\xB7 <b>Hall A</b>\nis not answering.\n";
    EXPECT_EQ(ReadAll(sink), "Warning: " + line + "Error: " + line + "Information: " + line +
                                 "Confirmation: " + line + "Error: no break at the end\n");
    std::fclose(sink);
}

TEST_F(MessageBoxSeamTest, HeadlessWritesToStandardErrorByDefault) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    std::fflush(stderr);
    const int savedStderr = dup(STDERR_FILENO);
    ASSERT_GE(savedStderr, 0);
    ASSERT_EQ(dup2(fileno(file), STDERR_FILENO), STDERR_FILENO);

    MessageBoxSeam::SetHeadless(true);
    const int answer =
        ShowMessage(nullptr, MsgKind::Confirmation, kTitle, QStringLiteral("Delete?\r\nSure?"));

    std::fflush(stderr);
    dup2(savedStderr, STDERR_FILENO);
    close(savedStderr);
    EXPECT_EQ(answer, MsgResultYes);
    EXPECT_EQ(ReadAll(file), "Confirmation: Delete?\nSure?\n");
    std::fclose(file);
}

TEST_F(MessageBoxSeamTest, CaptureTakesPrecedenceOverHeadless) {
    std::FILE* sink = std::tmpfile();
    ASSERT_NE(sink, nullptr);
    MessageBoxSeam::SetHeadless(true, sink);
    MessageBoxSeam::Capture(true);
    MessageBoxSeam::SetNextAnswer(MsgResultNo);

    EXPECT_EQ(ShowMessage(nullptr, MsgKind::Confirmation, kTitle, kText), MsgResultNo);
    EXPECT_EQ(MessageBoxSeam::TakeShown().size(), 1u);
    EXPECT_EQ(ReadAll(sink), "");
    std::fclose(sink);
}

// What the driving code saw of the real box.
struct SeenBox {
    bool seen = false;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
    QString title;
    QString text;
    Qt::TextFormat format = Qt::AutoText;
    Qt::WindowModality modality = Qt::NonModal;
    QWidget* parent = nullptr;
};

struct RealBoxCase {
    const char* name;
    MsgKind kind;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton click;  // NoButton: close the window instead
    int expected;
};

void PrintTo(const RealBoxCase& c, std::ostream* out) {
    *out << c.name;
}

class RealMessageBox : public MessageBoxTest, public ::testing::WithParamInterface<RealBoxCase> {};

TEST_P(RealMessageBox, ShowsTheBoxAndReturnsTheButtonPressed) {
    const RealBoxCase& c = GetParam();
    QWidget parent;
    SeenBox seen;
    OnModal(&context_, [&](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (!box) {
            ADD_FAILURE() << "the modal widget is not a QMessageBox";
            modal->close();
            return;
        }
        seen.seen = true;
        seen.icon = box->icon();
        seen.buttons = box->standardButtons();
        seen.defaultButton = box->standardButton(box->defaultButton());
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.format = box->textFormat();
        seen.modality = box->windowModality();
        seen.parent = box->parentWidget();
        QAbstractButton* button = c.click == QMessageBox::NoButton ? nullptr : box->button(c.click);
        if (button) {
            button->click();
        } else {
            if (c.click != QMessageBox::NoButton) ADD_FAILURE() << "the box has no such button";
            box->close();
        }
    });

    const int answer = ShowMessage(&parent, c.kind, kTitle, kText);

    ASSERT_TRUE(seen.seen) << "no modal box appeared";
    EXPECT_EQ(answer, c.expected);
    EXPECT_EQ(seen.icon, c.icon);
    EXPECT_EQ(seen.buttons, c.buttons);
    if (c.kind == MsgKind::Confirmation) {
        EXPECT_EQ(seen.defaultButton, QMessageBox::Yes);
    }
    EXPECT_EQ(seen.title, kTitle);
    EXPECT_EQ(seen.text,
              QStringLiteral("Device 127.0.0.2 \u00b7 <b>Hall A</b>\nis not answering.\n"));
    EXPECT_EQ(seen.format, Qt::PlainText);
    EXPECT_EQ(seen.modality, Qt::ApplicationModal);
    EXPECT_EQ(seen.parent, &parent);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr) << "the box is still open";
}

const QMessageBox::StandardButtons kYesNo = QMessageBox::Yes | QMessageBox::No;

INSTANTIATE_TEST_SUITE_P(
    Kinds, RealMessageBox,
    ::testing::Values(RealBoxCase{"Warning", MsgKind::Warning, QMessageBox::Warning,
                                  QMessageBox::Ok, QMessageBox::Ok, MsgResultOk},
                      RealBoxCase{"Error", MsgKind::Error, QMessageBox::Critical, QMessageBox::Ok,
                                  QMessageBox::Ok, MsgResultOk},
                      RealBoxCase{"Information", MsgKind::Information, QMessageBox::Information,
                                  QMessageBox::Ok, QMessageBox::Ok, MsgResultOk},
                      RealBoxCase{"WarningClosed", MsgKind::Warning, QMessageBox::Warning,
                                  QMessageBox::Ok, QMessageBox::NoButton, MsgResultOk},
                      RealBoxCase{"ConfirmationYes", MsgKind::Confirmation, QMessageBox::Question,
                                  kYesNo, QMessageBox::Yes, MsgResultYes},
                      RealBoxCase{"ConfirmationNo", MsgKind::Confirmation, QMessageBox::Question,
                                  kYesNo, QMessageBox::No, MsgResultNo},
                      RealBoxCase{"ConfirmationClosed", MsgKind::Confirmation,
                                  QMessageBox::Question, kYesNo, QMessageBox::NoButton,
                                  MsgResultNo}),
    [](const ::testing::TestParamInfo<RealBoxCase>& info) { return info.param.name; });

// Line breaks as the Windows box shows them: a CR LF pair is one break, and so is a CR or an
// LF of its own (the search result's warning follows "\r\n\r": one empty line, no blank).
TEST_F(MessageBoxTest, LineBreaksAreShownAsTheWindowsBoxShowsThem) {
    const struct {
        QString text;
        QString shown;
    } cases[] = {
        {QStringLiteral("found.\r\n\rWARNING: full.\r\n1 device"),
         QStringLiteral("found.\n\nWARNING: full.\n1 device")},
        {QStringLiteral("a\rb"), QStringLiteral("a\nb")},
        {QStringLiteral("a\r\r\nb"), QStringLiteral("a\n\nb")},
        {QStringLiteral("a\n\rb\n"), QStringLiteral("a\n\nb\n")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text.toStdString());
        QString seen;
        OnModal(&context_, [&](QWidget* modal) {
            if (auto* box = qobject_cast<QMessageBox*>(modal)) seen = box->text();
            modal->close();
        });
        ShowMessage(nullptr, MsgKind::Information, kTitle, c.text);
        EXPECT_EQ(seen, c.shown);

        std::FILE* sink = std::tmpfile();
        ASSERT_NE(sink, nullptr);
        MessageBoxSeam::SetHeadless(true, sink);
        ShowMessage(nullptr, MsgKind::Information, kTitle, c.text);
        MessageBoxSeam::SetHeadless(false);
        QString expected = QStringLiteral("Information: ") + c.shown;
        if (!expected.endsWith(QLatin1Char('\n'))) expected += QLatin1Char('\n');
        EXPECT_EQ(ReadAll(sink), expected.toStdString());
        std::fclose(sink);
    }
}

TEST_F(MessageBoxTest, ConfirmationWhoseParentGoesAwayCountsAsNo) {
    auto* parent = new QWidget;
    bool deleted = false;
    OnModal(&context_, [&](QWidget*) {
        delete parent;  // takes the open box with it, as a shutdown would
        deleted = true;
    });
    EXPECT_EQ(ShowMessage(parent, MsgKind::Confirmation, kTitle, kText), MsgResultNo);
    EXPECT_TRUE(deleted);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

// ---------------------------------------------------------------------------------------------
// Shell launches

// Stands in for the desktop: QDesktopServices gives URLs of a registered scheme to a slot
// instead of launching a program. QTextBrowser::setSource is such a slot and asks
// loadResource for the URL, which records it here.
class UrlRecorder : public QTextBrowser {
public:
    QVariant loadResource(int, const QUrl& url) override {
        urls.push_back(url);
        return QStringLiteral("recorded");  // an empty document would draw a warning
    }
    std::vector<QUrl> urls;
};

class ShellTest : public ::testing::Test {
protected:
    // Every scheme the tests use goes to the recorder, so that even a broken capture launches
    // no browser or mail program; it shows up in the recorder instead.
    void SetUp() override {
        for (const QString& scheme : kSchemes)
            QDesktopServices::setUrlHandler(scheme, &desktop_, "setSource");
    }
    void TearDown() override {
        ShellSeam::Capture(false);
        for (const QString& scheme : kSchemes) QDesktopServices::unsetUrlHandler(scheme);
    }

    const QStringList kSchemes = {QString(),
                                  QStringLiteral("http"),
                                  QStringLiteral("https"),
                                  QStringLiteral("mailto"),
                                  QStringLiteral("file"),
                                  QStringLiteral("avlo-test")};
    UrlRecorder desktop_;
};

TEST_F(ShellTest, CaptureRecordsEachUrlTextExactly) {
    const std::vector<QString> urls = {
        QStringLiteral("https://www.example.com/avlo/support"),
        QStringLiteral("mailto:service@example.com?subject=AVLO%20Monitor&body=Hall%C2%B7A"),
        QStringLiteral("file:///var/log/avlo events.txt"),
        QStringLiteral("not a URL \u00b7 at all"),
        QString(),
    };
    ShellSeam::Capture(true);
    for (const QString& url : urls) OpenUrl(url);
    EXPECT_EQ(ShellSeam::TakeOpened(), urls);
    EXPECT_TRUE(ShellSeam::TakeOpened().empty());
    EXPECT_TRUE(desktop_.urls.empty()) << "a captured URL reached the desktop";
}

TEST_F(ShellTest, CaptureCanBeSwitchedOffAndOnAgain) {
    ShellSeam::Capture(true);
    OpenUrl(QStringLiteral("https://www.example.com/first"));
    ShellSeam::Capture(false);
    ShellSeam::Capture(true);
    EXPECT_TRUE(ShellSeam::TakeOpened().empty()) << "switching capture starts a fresh record";
    OpenUrl(QStringLiteral("https://www.example.com/second"));
    EXPECT_THAT(ShellSeam::TakeOpened(),
                ElementsAre(QStringLiteral("https://www.example.com/second")));
    EXPECT_TRUE(desktop_.urls.empty()) << "a captured URL reached the desktop";
}

TEST_F(ShellTest, WithoutCaptureTheUrlGoesToTheDesktopServices) {
    const QString text = QStringLiteral("avlo-test:fault?device=Hall%20A&text=%C2%B7");
    OpenUrl(text);
    EXPECT_THAT(desktop_.urls, ElementsAre(QUrl(text)));
    EXPECT_TRUE(ShellSeam::TakeOpened().empty());

    ShellSeam::Capture(true);
    OpenUrl(QStringLiteral("avlo-test:captured"));
    EXPECT_EQ(desktop_.urls.size(), 1u) << "a captured URL reached the desktop";
    EXPECT_THAT(ShellSeam::TakeOpened(), ElementsAre(QStringLiteral("avlo-test:captured")));
}

// ---------------------------------------------------------------------------------------------
// Termination signals

volatile sig_atomic_t g_previousHandlerSaw = 0;
void PreviousHandler(int signalNumber) {
    g_previousHandlerSaw = signalNumber;
}

class SignalBridgeTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        // A handler of our own, so that a signal that misses the bridge is seen, not fatal.
        struct sigaction action {};
        action.sa_handler = PreviousHandler;
        sigemptyset(&action.sa_mask);
        for (int i = 0; i < 3; ++i) {
            sigaction(kSignals[i], nullptr, &saved_[i]);
            sigaction(kSignals[i], &action, nullptr);
        }
        g_previousHandlerSaw = 0;
    }
    void TearDown() override {
        for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &saved_[i], nullptr);
    }
    static void (*CurrentHandler(int signalNumber))(int) {
        struct sigaction current {};
        sigaction(signalNumber, nullptr, &current);
        return current.sa_handler;
    }

    static constexpr int kSignals[3] = {SIGTERM, SIGINT, SIGHUP};
    struct sigaction saved_[3]{};
};

TEST_P(SignalBridgeTest, SignalReachesTheCallbackFromTheEventLoop) {
    const int signalNumber = GetParam();
    std::vector<int> received;
    CSignalBridge bridge([&](int s) { received.push_back(s); });
    ASSERT_TRUE(bridge.Installed());

    struct sigaction current {};
    sigaction(signalNumber, nullptr, &current);
    EXPECT_NE(current.sa_flags & SA_RESTART, 0);

    ASSERT_EQ(raise(signalNumber), 0);
    EXPECT_TRUE(received.empty()) << "the callback ran inside the signal handler";
    EXPECT_TRUE(PumpUntil([&] { return !received.empty(); }));
    EXPECT_THAT(received, ElementsAre(signalNumber));
    EXPECT_EQ(g_previousHandlerSaw, 0);
}

TEST_P(SignalBridgeTest, DestructionRestoresThePreviousHandler) {
    const int signalNumber = GetParam();
    int calls = 0;
    {
        CSignalBridge bridge([&](int) { ++calls; });
        ASSERT_TRUE(bridge.Installed());
        EXPECT_NE(CurrentHandler(signalNumber), &PreviousHandler);
        raise(signalNumber);
        EXPECT_TRUE(PumpUntil([&] { return calls == 1; }));
        EXPECT_EQ(g_previousHandlerSaw, 0);
    }
    EXPECT_EQ(CurrentHandler(SIGTERM), &PreviousHandler);
    EXPECT_EQ(CurrentHandler(SIGINT), &PreviousHandler);
    EXPECT_EQ(CurrentHandler(SIGHUP), &PreviousHandler);
    raise(signalNumber);
    EXPECT_EQ(g_previousHandlerSaw, signalNumber);
    PumpUntil([] { return false; }, 50);
    EXPECT_EQ(calls, 1);
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalBridgeTest, ::testing::Values(SIGTERM, SIGINT, SIGHUP),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string("SIG") + sigabbrev_np(info.param);
                         });

using SignalBridgeOnce = SignalBridgeTest;

TEST_F(SignalBridgeOnce, SignalOnAnotherThreadIsHandledOnTheBridgeThread) {
    std::vector<std::thread::id> callers;
    CSignalBridge bridge([&](int) { callers.push_back(std::this_thread::get_id()); });
    ASSERT_TRUE(bridge.Installed());

    std::thread other([] { raise(SIGTERM); });  // the handler runs on that thread
    other.join();
    EXPECT_TRUE(PumpUntil([&] { return !callers.empty(); }));
    EXPECT_THAT(callers, ElementsAre(std::this_thread::get_id()));
}

TEST_F(SignalBridgeOnce, SeveralSignalsArriveInOrder) {
    std::vector<int> received;
    CSignalBridge bridge([&](int s) { received.push_back(s); });
    ASSERT_TRUE(bridge.Installed());
    raise(SIGTERM);
    raise(SIGINT);
    raise(SIGTERM);
    EXPECT_TRUE(PumpUntil([&] { return received.size() == 3; }));
    EXPECT_THAT(received, ElementsAre(SIGTERM, SIGINT, SIGTERM));
}

TEST_F(SignalBridgeOnce, OnlyOneBridgeIsInstalledAtATime) {
    std::vector<int> first, second;
    CSignalBridge bridge([&](int s) { first.push_back(s); });
    ASSERT_TRUE(bridge.Installed());
    {
        CSignalBridge other([&](int s) { second.push_back(s); });
        EXPECT_FALSE(other.Installed());
        raise(SIGINT);
        EXPECT_TRUE(PumpUntil([&] { return !first.empty(); }));
    }
    // The refused bridge must not have taken the first one's handlers or socket with it.
    raise(SIGTERM);
    EXPECT_TRUE(PumpUntil([&] { return first.size() == 2; }));
    EXPECT_THAT(first, ElementsAre(SIGINT, SIGTERM));
    EXPECT_TRUE(second.empty());
    EXPECT_EQ(g_previousHandlerSaw, 0);
}

TEST_F(SignalBridgeOnce, CallbackMayDestroyTheBridge) {
    int calls = 0;
    CSignalBridge* bridge = nullptr;
    bridge = new CSignalBridge([&](int) {
        ++calls;
        delete bridge;  // the shutdown tears down the window that owns the bridge
        bridge = nullptr;
    });
    ASSERT_TRUE(bridge->Installed());
    raise(SIGTERM);
    raise(SIGINT);  // already in the socket when the bridge goes: dropped with it
    EXPECT_TRUE(PumpUntil([&] { return bridge == nullptr; }));
    PumpUntil([] { return false; }, 50);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(CurrentHandler(SIGTERM), &PreviousHandler);
    EXPECT_EQ(CurrentHandler(SIGINT), &PreviousHandler);
    EXPECT_EQ(CurrentHandler(SIGHUP), &PreviousHandler);

    // The place is free again for a new bridge.
    std::vector<int> received;
    CSignalBridge next([&](int s) { received.push_back(s); });
    EXPECT_TRUE(next.Installed());
    raise(SIGINT);
    EXPECT_TRUE(PumpUntil([&] { return !received.empty(); }));
    EXPECT_THAT(received, ElementsAre(SIGINT));
}

}  // namespace
