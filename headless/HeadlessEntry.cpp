// The headless monitor's life: the core under a QCoreApplication with the headless reporter.
#include "headless/HeadlessEntry.h"

#include <cstdio>
#include <memory>

#include "headless/HeadlessReporter.h"
#include "monitoring/MonitorCore.h"
#include "monitoring/MonitorEntry.h"
#include "platform/EventSink.h"
#include "platform/InstanceLock.h"
#include "platform/MessageBox.h"
#include "web/WebService.h"

namespace {

// From the lock to the end of the shutdown sequence.
int RunHeadlessMonitor(CMonitorCoreApplication& app, const StartupOptions& options) {
    CInstanceLock lock(options.lockPath, LockFolderRule(options));
    int refused = 0;
    if (!TakeInstanceLock(lock, &refused)) return refused;

    CStderrEchoSink echo(ProcessEventSink());
    SetProcessEventSink(&echo);
    struct CRestoreSink {
        ~CRestoreSink() { SetProcessEventSink(nullptr); }
    } restoreSink;
    QCoreApplication::setApplicationName(QStringLiteral("AVLO Monitor"));

    auto core = std::make_unique<CMonitorCore>(options);
    CHeadlessReporter reporter(*core);
    auto web = std::make_unique<CWebService>(*core);
    QObject::connect(web.get(), &CWebService::Started, [](const QString& url) {
        std::fprintf(stderr, "Web service: %s\n", url.toLocal8Bit().constData());
    });
    QObject::connect(core.get(), &CMonitorCore::EndRequested, &app,
                     [] { QCoreApplication::quit(); });
    core->Start();
    const int status = RunEventLoop(app, *core);
    web.reset();   // no request reads the core once it shuts down
    core.reset();  // the shutdown sequence
    return status;
}

}  // namespace

int RunHeadless(const StartupOptions& options, int& argc, char** argv) {
    CMonitorCoreApplication app(argc, argv);
    // Nobody is there to answer a box: each goes to standard error.
    MessageBoxSeam::SetHeadless(true);
    try {
        return RunHeadlessMonitor(app, options);
    } catch (...) {
        ReportStartupFailure(DescribeException(std::current_exception()));
    }
    return CEscapedException::FailureStatus;
}
