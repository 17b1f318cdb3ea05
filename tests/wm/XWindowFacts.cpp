#include "XWindowFacts.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

namespace xfacts {

namespace {

QString Run(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(1000);
        return {};
    }
    return QString::fromUtf8(process.readAllStandardOutput());
}

QString WindowId(const QWidget& window) {
    return QStringLiteral("0x") + QString::number(window.winId(), 16);
}

// "Absolute upper-left X:  123" and the like from xwininfo.
std::optional<int> Field(const QString& text, const char* name) {
    const QRegularExpression pattern(QString::fromLatin1(name) + QStringLiteral(R"(:\s+(-?\d+))"));
    const auto match = pattern.match(text);
    if (!match.hasMatch()) return std::nullopt;
    return match.captured(1).toInt();
}

}  // namespace

std::optional<QString> Property(const QWidget& window, const char* atom) {
    const QString out =
        Run(QStringLiteral("xprop"), {QStringLiteral("-id"), WindowId(window),
                                      QStringLiteral("-notype"), QString::fromLatin1(atom)})
            .trimmed();
    const QString prefix = QString::fromLatin1(atom) + QStringLiteral(" = ");
    if (!out.startsWith(prefix)) return std::nullopt;
    return out.mid(prefix.size());
}

QString Caption(const QWidget& window) {
    auto value = Property(window, "_NET_WM_NAME");
    if (!value) value = Property(window, "WM_NAME");
    if (!value) return {};
    // xprop quotes strings: "text"
    QString text = *value;
    if (text.size() >= 2 && text.startsWith(u'"') && text.endsWith(u'"'))
        text = text.mid(1, text.size() - 2);
    return text.replace(QStringLiteral("\\\""), QStringLiteral("\""));
}

QStringList AllowedActions(const QWidget& window) {
    const auto value = Property(window, "_NET_WM_ALLOWED_ACTIONS");
    if (!value) return {};
    QStringList actions = value->split(u',', Qt::SkipEmptyParts);
    for (QString& action : actions) action = action.trimmed();
    return actions;
}

std::optional<MotifHints> Motif(const QWidget& window) {
    const auto value = Property(window, "_MOTIF_WM_HINTS");
    if (!value) return std::nullopt;
    const QStringList parts = value->split(u',');
    if (parts.size() < 3) return std::nullopt;
    MotifHints hints;
    hints.flags = parts[0].trimmed().toUInt(nullptr, 0);
    hints.functions = parts[1].trimmed().toUInt(nullptr, 0);
    hints.decorations = parts[2].trimmed().toUInt(nullptr, 0);
    return hints;
}

std::optional<QPoint> ClientTopLeft(const QWidget& window) {
    const QString info = Run(QStringLiteral("xwininfo"), {QStringLiteral("-id"), WindowId(window)});
    const auto x = Field(info, "Absolute upper-left X");
    const auto y = Field(info, "Absolute upper-left Y");
    if (!x || !y) return std::nullopt;
    return QPoint(*x, *y);
}

bool WaitUntilSettled(const QWidget& window) {
    return WaitUntilManaged(window) &&
           WaitFor([&window] { return ClientTopLeft(window) == window.mapToGlobal(QPoint()); });
}

std::optional<QRect> FrameRect(const QWidget& window) {
    const auto extents = Property(window, "_NET_FRAME_EXTENTS");
    if (!extents) return std::nullopt;
    const QStringList parts = extents->split(u',');
    if (parts.size() != 4) return std::nullopt;
    const int left = parts[0].trimmed().toInt(), right = parts[1].trimmed().toInt();
    const int top = parts[2].trimmed().toInt(), bottom = parts[3].trimmed().toInt();
    const QString info = Run(QStringLiteral("xwininfo"), {QStringLiteral("-id"), WindowId(window)});
    const auto x = Field(info, "Absolute upper-left X");
    const auto y = Field(info, "Absolute upper-left Y");
    const auto width = Field(info, "Width");
    const auto height = Field(info, "Height");
    if (!x || !y || !width || !height) return std::nullopt;
    return QRect(*x - left, *y - top, *width + left + right, *height + top + bottom);
}

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > limit.count()) return done();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(20);
    }
    return true;
}

bool WaitUntilManaged(const QWidget& window, std::chrono::milliseconds limit) {
    return WaitFor(
        [&window] {
            return window.isVisible() && Property(window, "_NET_FRAME_EXTENTS").has_value() &&
                   Property(window, "_NET_WM_ALLOWED_ACTIONS").has_value();
        },
        limit);
}

}  // namespace xfacts
