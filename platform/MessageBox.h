#pragma once

#include <QString>
#include <cstdio>
#include <vector>

class QWidget;

enum class MsgKind { Warning, Error, Information, Confirmation };

// The button a box was answered with. The values are the Windows IDOK/IDYES/IDNO, so code
// carried over from there compares against the same numbers.
enum MsgResult : int { MsgResultOk = 1, MsgResultYes = 6, MsgResultNo = 7 };

// Shows a modal box (OK; Yes/No for a confirmation, Yes being the default) and returns the
// button pressed. Texts carry the Windows "\r\n" line breaks; they are shown as plain text,
// never as rich text. A confirmation closed without a button, or whose parent went away while
// it was open, counts as No: nothing is confirmed by accident. Call on the GUI thread only.
int ShowMessage(QWidget* parent, MsgKind kind, const QString& title, const QString& text);

namespace MessageBoxSeam {

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

}  // namespace MessageBoxSeam
