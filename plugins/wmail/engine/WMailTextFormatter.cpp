#include "WMailTextFormatter.h"

#include "WMailHtmlSanitizer.h"

#include <ExternalLinks.h>
#include <KvrConfig.h>

#include <QUrl>

namespace {

const QString kHttp = QStringLiteral("http://");
const QString kWww = QStringLiteral("www.");

QString withEmoticons(const QString &text)
{
    const QList<QPair<QString, QString>> &table = WMailTextFormatter::emoticons();
    QString html;
    int plainFrom = 0;
    for (int at = 0; at < text.size();) {
        // Earlier codes of the table win where codes overlap.
        const QPair<QString, QString> *found = nullptr;
        for (const auto &entry : table) {
            if (text.midRef(at).startsWith(entry.first)) {
                found = &entry;
                break;
            }
        }
        if (!found) {
            ++at;
            continue;
        }
        html += WMailHtmlSanitizer::escape(text.mid(plainFrom, at - plainFrom));
        html += QStringLiteral("<img src=\"resourceswivora:///emotions/Resources/")
            + WMailHtmlSanitizer::escape(found->second) + QStringLiteral("\" style=\"border:0px;\" />");
        at += found->first.size();
        plainFrom = at;
    }
    return html + WMailHtmlSanitizer::escape(text.mid(plainFrom));
}

int nextAddress(const QString &text, int from)
{
    const int http = text.indexOf(kHttp, from);
    const int www = text.indexOf(kWww, from);
    if (http < 0 || www < 0)
        return qMax(http, www);
    return qMin(http, www);
}

} // namespace

const QList<QPair<QString, QString>> &WMailTextFormatter::emoticons()
{
    static const QList<QPair<QString, QString>> table = [] {
        QList<QPair<QString, QString>> entries;
        KvrConfig file;
        if (file.LoadConfigWithoutEncoding(QStringLiteral(":/emotions/Resources/emotions.txt"))) {
            for (int i = 0; i < file.size(); ++i) {
                if (!file.GetKey(i).isEmpty())
                    entries.append({file.GetKey(i), QString::fromUtf8(file.GetValue(i))});
            }
        }
        return entries;
    }();
    return table;
}

QString WMailTextFormatter::formatText(const QString &text, bool insideLink)
{
    if (insideLink)
        return WMailHtmlSanitizer::escape(text);
    QString html;
    int from = 0;
    for (int start = nextAddress(text, 0); start >= 0; start = nextAddress(text, from)) {
        int end = start + 1;
        while (end < text.size() && !text.at(end).isSpace())
            ++end;
        const QString address = text.mid(start, end - start);
        const QUrl target(address.startsWith(kWww) ? kHttp + address : address, QUrl::StrictMode);
        if (!ExternalLinks::isAllowed(target, ExternalLinks::messagingSchemes())) {
            html += withEmoticons(text.mid(from, end - from));
            from = end;
            continue;
        }
        html += withEmoticons(text.mid(from, start - from));
        html += QStringLiteral("<a href=\"") + WMailHtmlSanitizer::escape(target.toString(QUrl::FullyEncoded))
            + QStringLiteral("\">") + WMailHtmlSanitizer::escape(address) + QStringLiteral("</a>");
        from = end;
    }
    return html + withEmoticons(text.mid(from));
}

QString WMailTextFormatter::toHtml(const QByteArray &utf8Html)
{
    return WMailHtmlSanitizer::sanitize(QString::fromUtf8(utf8Html), &WMailTextFormatter::formatText);
}
