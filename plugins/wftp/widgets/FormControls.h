#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QRegularExpression>

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

inline QCheckBox *checkBox(const QString &objectName, const QString &text, QWidget *parent)
{
    auto *box = new QCheckBox(text, parent);
    box->setObjectName(objectName);
    return box;
}

} // namespace FormControls
