#pragma once

#include <QString>
#include <cstdio>
#include <vector>

class QObject;

enum class MsgKind { Warning, Error, Information, Confirmation };

// The button a box was answered with. The values are the Windows IDOK/IDYES/IDNO, so code
// carried over from there compares against the same numbers.
enum MsgResult : int { MsgResultOk = 1, MsgResultYes = 6, MsgResultNo = 7 };

// Shows a modal box (OK; Yes/No for a confirmation, Yes being the default) and returns the
// button pressed. Texts carry the Windows "\r\n" line breaks; they are shown as plain text,
// never as rich text. A confirmation closed without a button, or whose parent went away while
// it was open, counts as No: nothing is confirmed by accident. Call on the main thread only.
//
// The parent is the window the box belongs to, or null; code without windows passes null.
// Boxes are shown by the presenter the program installs when it shows windows; without one
// (the headless monitor, a build without windows) each box goes to standard error as in
// headless mode.
int ShowMessage(QObject* parent, MsgKind kind, const QString& title, const QString& text);

namespace MessageBoxSeam {

// Shows one box for real and returns the button pressed; see ShowMessage.
using Presenter = int (*)(QObject* parent, MsgKind kind, const QString& title, const QString& text);
// The program entry installs the windowed presenter before the first window; null removes it.
void SetPresenter(Presenter presenter);

// Tests: every following box is recorded and answered at once, without being shown.
// Switching capture on or off forgets what was recorded and any preset answer.
void Capture(bool on);
// The answer of the next captured box only; after it, boxes get the default (OK, or Yes for a
// confirmation) again. A second call before that box replaces the first.
void SetNextAnswer(int answer);

struct Shown {
    MsgKind kind;
    QString title;
    QString text;  // exactly as passed, "\r\n" included
};
// What was recorded since the last call, oldest first.
std::vector<Shown> TakeShown();

// Headless mode (no one to press a button): each box is written as one block
// "<kind>: <text>\n" with "\r\n" as line breaks to sink (standard error when null) and answered
// with the default button. Capture, when on, takes precedence.
void SetHeadless(bool on, std::FILE* sink = nullptr);

// The text as a box shows it: Qt breaks lines only at LF, the Windows box also at a CR.
QString ForDisplay(const QString& text);

}  // namespace MessageBoxSeam
