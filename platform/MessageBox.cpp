#include "platform/MessageBox.h"

#include <QMessageBox>
#include <QPointer>
#include <mutex>
#include <optional>
#include <utility>

namespace {

struct SeamState {
    std::mutex mutex;
    bool capture = false;
    std::optional<int> nextAnswer;
    std::vector<MessageBoxSeam::Shown> shown;
    bool headless = false;
    std::FILE* sink = nullptr;
};

SeamState& State() {
    static SeamState state;
    return state;
}

int DefaultAnswer(MsgKind kind) {
    return kind == MsgKind::Confirmation ? MsgResultYes : MsgResultOk;
}

const char* KindName(MsgKind kind) {
    switch (kind) {
        case MsgKind::Warning:
            return "Warning";
        case MsgKind::Error:
            return "Error";
        case MsgKind::Information:
            return "Information";
        case MsgKind::Confirmation:
            return "Confirmation";
    }
    return "Message";
}

// The Windows box breaks the line at a CR LF pair and at a CR or LF of its own, so
// "found.\r\n\rWARNING" shows an empty line between the two. Qt breaks only at LF: a lone
// CR would be shown as a blank.
QString ForDisplay(const QString& text) {
    QString display = text;
    display.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    display.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return display;
}

void WriteHeadless(std::FILE* sink, MsgKind kind, const QString& text) {
    QByteArray block = QByteArray(KindName(kind)) + ": " + ForDisplay(text).toUtf8();
    if (!block.endsWith('\n')) block += '\n';
    // One fwrite, so that the block is not split by other output to the same stream.
    std::fwrite(block.constData(), 1, static_cast<std::size_t>(block.size()), sink);
    std::fflush(sink);
}

int ShowRealBox(QWidget* parent, MsgKind kind, const QString& title, const QString& text) {
    QMessageBox::Icon icon = QMessageBox::Information;
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    switch (kind) {
        case MsgKind::Warning:
            icon = QMessageBox::Warning;
            break;
        case MsgKind::Error:
            icon = QMessageBox::Critical;
            break;
        case MsgKind::Information:
            icon = QMessageBox::Information;
            break;
        case MsgKind::Confirmation:
            icon = QMessageBox::Question;
            buttons = QMessageBox::Yes | QMessageBox::No;
            break;
    }

    // On the heap and watched: if the parent is destroyed while the box is open (shutdown
    // from a signal, say), it takes the box with it, and a box on the stack would then be
    // destroyed a second time.
    QPointer<QMessageBox> box = new QMessageBox(icon, title, ForDisplay(text), buttons, parent);
    box->setTextFormat(Qt::PlainText);  // texts may hold "<" from device names or addresses
    box->setWindowModality(Qt::ApplicationModal);
    if (kind == MsgKind::Confirmation) {
        box->setDefaultButton(QMessageBox::Yes);
        box->setEscapeButton(QMessageBox::No);
    }
    box->exec();

    const int fallback = kind == MsgKind::Confirmation ? MsgResultNo : MsgResultOk;
    if (!box) return fallback;
    const QMessageBox::StandardButton pressed = box->standardButton(box->clickedButton());
    delete box.data();
    switch (pressed) {
        case QMessageBox::Ok:
            return MsgResultOk;
        case QMessageBox::Yes:
            return MsgResultYes;
        case QMessageBox::No:
            return MsgResultNo;
        default:
            return fallback;
    }
}

}  // namespace

int ShowMessage(QWidget* parent, MsgKind kind, const QString& title, const QString& text) {
    SeamState& state = State();
    {
        std::lock_guard lock(state.mutex);
        if (state.capture) {
            state.shown.push_back({kind, title, text});
            const int answer = state.nextAnswer.value_or(DefaultAnswer(kind));
            state.nextAnswer.reset();
            return answer;
        }
        if (state.headless) {
            WriteHeadless(state.sink ? state.sink : stderr, kind, text);
            return DefaultAnswer(kind);
        }
    }
    return ShowRealBox(parent, kind, title, text);
}

namespace MessageBoxSeam {

void Capture(bool on) {
    SeamState& state = State();
    std::lock_guard lock(state.mutex);
    state.capture = on;
    state.shown.clear();
    state.nextAnswer.reset();
}

void SetNextAnswer(int answer) {
    SeamState& state = State();
    std::lock_guard lock(state.mutex);
    state.nextAnswer = answer;
}

std::vector<Shown> TakeShown() {
    SeamState& state = State();
    std::lock_guard lock(state.mutex);
    return std::exchange(state.shown, {});
}

void SetHeadless(bool on, std::FILE* sink) {
    SeamState& state = State();
    std::lock_guard lock(state.mutex);
    state.headless = on;
    state.sink = sink;
}

}  // namespace MessageBoxSeam
