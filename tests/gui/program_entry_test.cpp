// The program's application object: an exception that escapes an event handler ends the
// event loop with a failure status instead of the process, and is kept for the report.
// This program makes its own application object, one per case, so it has no shared main.
#include <gtest/gtest.h>

#include <QEvent>
#include <QObject>
#include <QTimer>
#include <QtGlobal>
#include <functional>
#include <stdexcept>
#include <string>

#include "app/ProgramEntry.h"

namespace {

// Throws from its event handler when it gets the event type it waits for.
class CThrowingObject : public QObject {
public:
    static QEvent::Type Type() {
        static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return type;
    }
    bool event(QEvent* e) override {
        if (e->type() == Type()) throw std::runtime_error("device table broken");
        return QObject::event(e);
    }
};

struct ThrowCase {
    const char* name;
    // Arranges for a handler to throw once the loop runs; the object lives in the test.
    std::function<void(QObject& context)> arrange;
    std::string failure;
};

void PrintTo(const ThrowCase& c, std::ostream* os) {
    *os << c.name;
}

class MonitorApplicationTest : public testing::TestWithParam<ThrowCase> {
protected:
    void SetUp() override {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    int argc_ = 1;
    char name_[16] = "program_entry";
    char* argv_[2] = {name_, nullptr};
};

TEST_P(MonitorApplicationTest, AnEscapedExceptionEndsTheLoopWithAFailureStatusAndIsKept) {
    CMonitorApplication app(argc_, argv_);
    QObject context;
    GetParam().arrange(context);
    bool laterHandlerRan = false;
    QTimer::singleShot(200, &context, [&] { laterHandlerRan = true; });
    // Should the loop not end, this ends it with a status the test can tell apart.
    QTimer::singleShot(5000, &context, [] { QCoreApplication::exit(99); });

    const int status = app.exec();
    EXPECT_EQ(status, CMonitorApplication::FailureStatus);
    EXPECT_NE(status, 0);
    EXPECT_EQ(app.Failure(), GetParam().failure);
    EXPECT_FALSE(laterHandlerRan) << "the loop went on after the exception";
}

const ThrowCase kThrowCases[] = {
    {"PostedEvent",
     [](QObject& context) {
         auto* thrower = new CThrowingObject;
         thrower->setParent(&context);
         QCoreApplication::postEvent(thrower, new QEvent(CThrowingObject::Type()));
     },
     "device table broken"},
    {"TimerHandler",
     [](QObject& context) {
         QTimer::singleShot(0, &context, [] { throw std::logic_error("no such device"); });
     },
     "no such device"},
    {"ExceptionOfAnotherKind",
     [](QObject& context) { QTimer::singleShot(0, &context, [] { throw 42; }); },
     "an exception of an unknown kind"},
    // Only the first one is reported: what follows is often its consequence.
    {"FirstOfTwo",
     [](QObject& context) {
         QTimer::singleShot(0, &context, [] {
             QTimer::singleShot(0, qApp, [] { throw std::runtime_error("second"); });
             throw std::runtime_error("first");
         });
     },
     "first"},
};

INSTANTIATE_TEST_SUITE_P(Handlers, MonitorApplicationTest, testing::ValuesIn(kThrowCases),
                         [](const testing::TestParamInfo<ThrowCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(MonitorApplicationTest, ANormalEndKeepsStatusZero) {
    CMonitorApplication app(argc_, argv_);
    QObject context;
    QTimer::singleShot(0, &context, [] { QCoreApplication::quit(); });
    EXPECT_EQ(app.exec(), 0);
    EXPECT_EQ(app.Failure(), "");
}

}  // namespace
