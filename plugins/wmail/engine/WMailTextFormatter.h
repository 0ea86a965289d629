#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// The page HTML of a text message: the sender's HTML sanitised, web
// addresses in its text made links, emoticon codes in its text made
// pictures. Tags and attributes are never touched by either.
class WMailTextFormatter
{
public:
    WMailTextFormatter() = delete;

    static QString toHtml(const QByteArray &utf8Html);

    // One run of text, not escaped, as HTML (links and emoticons outside an anchor).
    static QString formatText(const QString &text, bool insideLink);

    // The emoticon codes and their pictures, in table order.
    static const QList<QPair<QString, QString>> &emoticons();
};
