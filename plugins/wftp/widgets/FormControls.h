#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QRegularExpression>
#include <QScrollArea>
#include <QVBoxLayout>

// Controls of the sharing forms, named as the forms name them. Headings are
// bold, and every text that may carry a user's name is shown as plain text,
// never as markup.
namespace FormControls {

inline QLabel *label(const QString &objectName, const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(objectName);
    label->setTextFormat(Qt::PlainText);
    return label;
}

// The forms were drawn on an 8-point dialog font: a heading of `points` keeps
// its size relative to the font the desktop gives.
inline QLabel *heading(const QString &objectName, const QString &text, int points, QWidget *parent)
{
    QLabel *heading = label(objectName, text, parent);
    QFont font = heading->font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * points / 8.0);
    heading->setFont(font);
    return heading;
}

// An explanation written with line breaks as "<br/>". The label wraps its
// lines itself, so a break inside a sentence (left from a fixed-width form)
// becomes a space; breaks after a sentence stay.
inline QLabel *richText(const QString &objectName, const QString &text, QWidget *parent)
{
    static const QRegularExpression breakInSentence(QStringLiteral("(?<![.!?:])<br/>"));
    QLabel *label = FormControls::label(objectName, QString(text).replace(breakInSentence, QStringLiteral(" ")), parent);
    label->setTextFormat(Qt::RichText);
    label->setWordWrap(true);
    return label;
}

// The widget to lay a page's controls out on: it scrolls within the page when
// the screen is too small for all of them, so that the dialog's own buttons
// stay on the screen.
inline QWidget *scrolledContent(QWidget *page)
{
    auto *content = new QWidget;
    auto *scroller = new QScrollArea(page);
    scroller->setFrameShape(QFrame::NoFrame);
    scroller->setWidgetResizable(true);
    scroller->setWidget(content);
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(scroller);
    return content;
}

inline QCheckBox *checkBox(const QString &objectName, const QString &text, QWidget *parent)
{
    auto *box = new QCheckBox(text, parent);
    box->setObjectName(objectName);
    return box;
}

} // namespace FormControls
