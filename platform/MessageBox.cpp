#include "platform/MessageBox.h"

#include <QByteArray>
#include <mutex>
#include <optional>
#include <utility>

#include "platform/PrintableText.h"

namespace {

struct SeamState {
    std::mutex mutex;
    bool capture = false;
    std::optional<int> nextAnswer;
    std::vector<MessageBoxSeam::Shown> shown;
    bool headless = false;
    std::FILE* sink = nullptr;
    MessageBoxSeam::Presenter presenter = nullptr;
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

void WriteHeadless(std::FILE* sink, MsgKind kind, const QString& text) {
    // A box may quote a device or a server: nothing in it may drive the terminal.
    QByteArray block = QByteArray(KindName(kind)) + ": " +
                       QByteArray::fromStdString(
                           PrintableText(MessageBoxSeam::ForDisplay(text).toStdString(), "\n"));
    if (!block.endsWith('\n')) block += '\n';
    // One fwrite, so that the block is not split by other output to the same stream.
    std::fwrite(block.constData(), 1, static_cast<std::size_t>(block.size()), sink);
    std::fflush(sink);
}

}  // namespace

int ShowMessage(QObject* parent, MsgKind kind, const QString& title, const QString& text) {
    SeamState& state = State();
    MessageBoxSeam::Presenter presenter = nullptr;
    {
        std::lock_guard lock(state.mutex);
        if (state.capture) {
            state.shown.push_back({kind, title, text});
            const int answer = state.nextAnswer.value_or(DefaultAnswer(kind));
            state.nextAnswer.reset();
            return answer;
        }
        if (state.headless || state.presenter == nullptr) {
            WriteHeadless(state.sink ? state.sink : stderr, kind, text);
            return DefaultAnswer(kind);
        }
        presenter = state.presenter;
    }
    // Outside the lock: the box runs an event loop, in which another box may be asked for.
    return presenter(parent, kind, title, text);
}

namespace MessageBoxSeam {

void SetPresenter(Presenter presenter) {
    SeamState& state = State();
    std::lock_guard lock(state.mutex);
    state.presenter = presenter;
}

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

// The Windows box breaks the line at a CR LF pair and at a CR or LF of its own, so
// "found.\r\n\rWARNING" shows an empty line between the two. Qt breaks only at LF: a lone
// CR would be shown as a blank.
QString ForDisplay(const QString& text) {
    QString display = text;
    display.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    display.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return display;
}

}  // namespace MessageBoxSeam
