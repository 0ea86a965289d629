// Peer HTML through the messaging page's sanitiser: no crash, no hang, and
// every tag written is one of the allow-list's with allowed attributes only.
#include "FuzzCheck.h"
#include "WMailHtmlSanitizer.h"

#include <QRegularExpression>
#include <QSet>
#include <QString>

#include <cstdint>

namespace {

// Text is escaped, so every "<" of the output opens a tag the sanitiser wrote.
void checkTags(const QString &clean)
{
    static const QSet<QString> elements{"a", "b", "blockquote", "br", "div", "em", "font", "i", "img",
                                        "li", "ol", "p", "s", "span", "strike", "strong", "u", "ul"};
    static const QSet<QString> attributes{"align", "dir", "color", "face", "size", "style", "href", "src", "alt"};
    // The style attribute and the presentational ones the engine maps onto styles.
    static const QSet<QString> cssAttributes{"style", "align", "dir", "color", "face", "size"};
    static const QRegularExpression attribute(QStringLiteral("^ ([a-z]+)=\"([^\"<>]*)\""));
    int at = 0;
    while ((at = clean.indexOf(QLatin1Char('<'), at)) >= 0) {
        const int end = clean.indexOf(QLatin1Char('>'), at);
        check(end > at);
        QString tag = clean.mid(at + 1, end - at - 1);
        at = end;
        if (tag.startsWith(QLatin1Char('/'))) {
            check(elements.contains(tag.mid(1)));
            continue;
        }
        if (tag.endsWith(QLatin1String(" /")))
            tag.chop(2);
        const int space = tag.indexOf(QLatin1Char(' '));
        check(elements.contains(space < 0 ? tag : tag.left(space)));
        QString rest = space < 0 ? QString() : tag.mid(space);
        while (!rest.isEmpty()) {
            const QRegularExpressionMatch match = attribute.match(rest);
            check(match.hasMatch() && attributes.contains(match.captured(1)));
            const QString value = match.captured(2).toLower();
            if (match.captured(1) == QLatin1String("href"))
                check(value.startsWith("http://") || value.startsWith("https://") || value.startsWith("ftp://")
                      || value.startsWith("mailto:"));
            if (match.captured(1) == QLatin1String("src"))
                check(value.startsWith("resourceswivora:"));
            // Values read as CSS hold no function (url(), expression(), ...)
            // and no escape or character reference that could spell one; a
            // link or a picture's name may hold anything.
            if (cssAttributes.contains(match.captured(1)))
                check(!value.contains(QLatin1Char('(')) && !value.contains(QLatin1Char('\\'))
                      && !QString(value).remove(QLatin1String("&quot;")).contains(QLatin1Char('&')));
            rest = rest.mid(match.capturedLength());
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString html = QString::fromUtf8(reinterpret_cast<const char *>(data), int(size));
    const QString clean = WMailHtmlSanitizer::sanitize(html);
    checkTags(clean);
    // What came out stays safe when it is sanitised again (a chunk re-rendered).
    checkTags(WMailHtmlSanitizer::sanitize(clean));
    return 0;
}
