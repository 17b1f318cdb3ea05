#pragma once

// What the X server and the window manager say about a top-level window, read with the X
// tools (xprop, xwininfo) rather than through Qt, so that a test checks what the user sees and
// not what Qt believes it asked for.
#include <QRect>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <chrono>
#include <functional>
#include <optional>
#include <ostream>

// Readable texts in GoogleTest's messages.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace xfacts {

// The value part of `xprop -id WINDOW -notype ATOM` ("ATOM = value"), or none when unset.
std::optional<QString> Property(const QWidget& window, const char* atom);
// A window's caption as the window manager reads it: _NET_WM_NAME, else WM_NAME.
QString Caption(const QWidget& window);
// The actions the window manager offers for the window (_NET_WM_ALLOWED_ACTIONS), e.g.
// "_NET_WM_ACTION_MINIMIZE".
QStringList AllowedActions(const QWidget& window);
// The window's Motif hints (_MOTIF_WM_HINTS): what the program asks the window manager to
// offer. Bits as Motif defines them.
struct MotifHints {
    enum : unsigned { HasFunctions = 1, HasDecorations = 2 };
    enum : unsigned {
        FuncAll = 1,
        FuncResize = 2,
        FuncMove = 4,
        FuncMinimize = 8,
        FuncMaximize = 16,
        FuncClose = 32
    };
    enum : unsigned { DecorAll = 1, DecorMinimize = 32, DecorMaximize = 64 };
    unsigned flags = 0, functions = 0, decorations = 0;
};
std::optional<MotifHints> Motif(const QWidget& window);
// The window with its frame, in root coordinates, from the client's absolute position and
// the frame extents the window manager announced; none before the window is managed.
std::optional<QRect> FrameRect(const QWidget& window);
// Where the X server has the window's client area, in root coordinates.
std::optional<QPoint> ClientTopLeft(const QWidget& window);
// Waits until Qt knows where the window manager put the window (a window just managed may
// still be moved into its frame).
bool WaitUntilSettled(const QWidget& window);
// Shows nothing: waits (processing Qt's events) until the window manager manages the window,
// i.e. has framed it and announced its actions. Bounded; false when it never happens.
bool WaitUntilManaged(const QWidget& window,
                      std::chrono::milliseconds limit = std::chrono::seconds(10));
// Processes events until `done` holds, at most `limit`; the last value of `done`.
bool WaitFor(const std::function<bool()>& done,
             std::chrono::milliseconds limit = std::chrono::seconds(10));

}  // namespace xfacts
