#pragma once

#include <QPixmap>
#include <QSize>
#include <QString>
#include <initializer_list>

class QBoxLayout;
class QCheckBox;
class QDialog;
class QLabel;
class QPushButton;
class QWidget;

// Pieces the settings dialogs are built from, so that they look alike: a fixed frame with only
// the close box, headings, wrapped texts, controls named as on the forms, and a row of buttons
// at the right.

// A dialog the user cannot resize, with a caption and the close box only.
void SetFixedDialogFrame(QDialog& dialog);
// A bold heading; blue when it titles a group of a form.
QLabel* Heading(QWidget* parent, const QString& text, bool blue = false);
QLabel* WrappedText(QWidget* parent, const QString& text);
QCheckBox* NamedCheckBox(QWidget* parent, const char* name, const char* text);
QPushButton* NamedButton(QWidget* parent, const char* name, const char* text);
QBoxLayout* ButtonRow(std::initializer_list<QPushButton*> buttons);

// A picture of the resources, drawn at the size it is shown at.
QPixmap RenderPicture(const QString& resource, QSize size);
