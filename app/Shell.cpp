#include "app/Shell.h"

#include <QDesktopServices>
#include <QUrl>
#include <mutex>
#include <utility>

namespace {

struct SeamState {
    std::mutex mutex;
    bool capture = false;
    std::vector<QString> opened;
};

SeamState& State() {
    static SeamState state;
    return state;
}

}  // namespace

void OpenUrl(const QString& url) {
    SeamState& state = State();
    {
        std::lock_guard lock(state.mutex);
        if (state.capture) {
            state.opened.push_back(url);
            return;
        }
    }
    QDesktopServices::openUrl(QUrl(url));
}

namespace ShellSeam {

void Capture(bool on) {
    SeamState& state = State();
    std::lock_guard lock(state.mutex);
    state.capture = on;
    state.opened.clear();
}

std::vector<QString> TakeOpened() {
    SeamState& state = State();
    std::lock_guard lock(state.mutex);
    return std::exchange(state.opened, {});
}

}  // namespace ShellSeam
