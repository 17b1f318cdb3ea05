#include "dialogs/DialogParts.h"

#include <QCheckBox>
#include <QDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QSvgRenderer>

void SetFixedDialogFrame(QDialog& dialog) {
    dialog.setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                          Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
}

QLabel* Heading(QWidget* parent, const QString& text, bool blue) {
    auto* label = new QLabel(text, parent);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    if (blue) {
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, QColor(0, 0, 160));
        label->setPalette(palette);
    }
    return label;
}

QLabel* WrappedText(QWidget* parent, const QString& text) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    return label;
}

QCheckBox* NamedCheckBox(QWidget* parent, const char* name, const char* text) {
    auto* box = new QCheckBox(QString::fromUtf8(text), parent);
    box->setObjectName(QString::fromLatin1(name));
    return box;
}

QPushButton* NamedButton(QWidget* parent, const char* name, const char* text) {
    auto* button = new QPushButton(QString::fromUtf8(text), parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setAutoDefault(false);
    return button;
}

QBoxLayout* ButtonRow(std::initializer_list<QPushButton*> buttons) {
    auto* row = new QHBoxLayout;
    row->addStretch();
    for (QPushButton* button : buttons) row->addWidget(button);
    return row;
}

QPixmap RenderPicture(const QString& resource, QSize size) {
    QPixmap picture(size);
    picture.fill(Qt::transparent);
    QSvgRenderer renderer(resource);
    QPainter painter(&picture);
    renderer.render(&painter);
    return picture;
}
