// Pictures for the README of windows as a window manager frames them (openbox on a private
// display): the condition window on its buttons, the Server Security dialog warning about
// sign-in without encryption, the about box, and the Webhooks dialog with the outcomes of two
// tests (both on this machine: a closed loopback port and a URL that is not http). Not a
// test: run it through the runner,
//   bash tests/wm/run-under-wm.sh build/tests/wm/avlo_wm_shots docs
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <cstdio>

#include "DialogBench.h"
#include "XWindowFacts.h"
#include "app/AboutDlg.h"
#include "app/MessageBoxWindow.h"
#include "app/ProgramEntry.h"
#include "dialogs/ServerSecurityDlgUnit.h"
#include "dialogs/StatusDlgUnit.h"
#include "dialogs/WebhooksDlgUnit.h"
#include "support/LoopbackPort.h"

namespace {

// Grabs the screen within `area` (widened by a small margin) into `file`.
bool Shoot(const QRect& area, const QString& file) {
    const QRect r = area.adjusted(-6, -6, 6, 6).intersected(QRect(0, 0, 4096, 4096));
    const QString crop =
        QStringLiteral("%1x%2+%3+%4").arg(r.width()).arg(r.height()).arg(r.x()).arg(r.y());
    const int status = QProcess::execute(
        QStringLiteral("import"), {QStringLiteral("-window"), QStringLiteral("root"),
                                   QStringLiteral("-crop"), crop, QStringLiteral("+repage"), file});
    std::printf("%s %s\n", status == 0 ? "wrote" : "failed", qPrintable(file));
    return status == 0;
}

QRect Framed(const QWidget& window) {
    xfacts::WaitUntilSettled(window);
    xfacts::WaitFor([] { return false; }, std::chrono::milliseconds(300));  // painted
    return xfacts::FrameRect(window).value_or(window.frameGeometry());
}

bool ShootWebhooks(QWidget& owner, const QString& file) {
    QTemporaryDir dir;
    StartupOptions options;
    options.configPath = dir.filePath(QStringLiteral("avlo-monitor.ini")).toStdString();
    CMonitorCore core(options);
    core.WebhookTimes.RetryWaits = {std::chrono::milliseconds(100), std::chrono::milliseconds(100)};
    WebhookSettings_Type settings;
    settings.Targets[0] = {true, "https://ntfy.example.com/stage-alerts", "ntfy"};
    settings.Targets[1] = {
        true, "http://127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/hooks/site", "chat"};
    settings.Targets[2] = {false, "ftp://files.example.com/alerts", "json"};
    TWebhooksDlg dialog(settings, core, &owner);
    dialog.show();
    dialog.SendTestBtn[1]->click();
    dialog.SendTestBtn[2]->click();
    xfacts::WaitFor([&] { return dialog.SendTestBtn[1]->isEnabled(); }, std::chrono::seconds(10));
    return Shoot(Framed(dialog), file);
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("AVLO_KEYRING", "none");
    QApplication app(argc, argv);
    InstallMessageBoxWindows();
    NameApplication();
    const QString dir = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
    DialogBench bench;
    bool ok = true;

    bench.Record.Status.ChannelOk[2] = 0;
    bench.Record.Status.FanOk[2] = 0;
    TPropertiesDlg* properties = bench.OpenProperties();
    xfacts::WaitUntilSettled(*properties);
    properties->ChanBtn[2]->click();
    const QRect status = Framed(*properties->StatusDlg);
    ok &= Shoot(Framed(*properties).united(status), dir + QStringLiteral("/condition-window.png"));
    bench.CloseAll();

    for (const DialogBench::Window& entry : bench.Windows()) {
        const QString name = QString::fromLatin1(entry.name);
        if (name != QStringLiteral("server security") && name != QStringLiteral("about box"))
            continue;
        QWidget* window = entry.open();
        QString file = dir + QStringLiteral("/about-box.png");
        if (auto* security = qobject_cast<TServerSecurityDlg*>(window)) {
            security->NoSecurityRadioBtn->setChecked(true);
            security->SignInCheckBox->setChecked(true);
            file = dir + QStringLiteral("/server-security-sign-in.png");
        }
        ok &= Shoot(Framed(*window), file);
        bench.CloseAll();
    }
    ok &= ShootWebhooks(bench.Owner(), dir + QStringLiteral("/webhooks-dialog.png"));
    return ok ? 0 : 1;
}
