#include "WMailHtmlSanitizer.h"

#include <ExternalLinks.h>

#include <QSet>
#include <QUrl>

#include <libxml/HTMLparser.h>
#include <libxml/tree.h>

namespace {

// Deeper nesting is flattened to its text: the writer recurses once a level.
constexpr int kMaxDepth = 100;

const QSet<QString> &allowedElements()
{
    static const QSet<QString> names{
        QStringLiteral("a"),     QStringLiteral("b"),     QStringLiteral("blockquote"), QStringLiteral("br"),
        QStringLiteral("div"),   QStringLiteral("em"),    QStringLiteral("font"),       QStringLiteral("i"),
        QStringLiteral("img"),   QStringLiteral("li"),    QStringLiteral("ol"),         QStringLiteral("p"),
        QStringLiteral("s"),     QStringLiteral("span"),  QStringLiteral("strike"),     QStringLiteral("strong"),
        QStringLiteral("u"),     QStringLiteral("ul")};
    return names;
}

// Elements whose content is code, styling or a fallback for something
// embedded: dropped whole rather than shown as text.
const QSet<QString> &droppedElements()
{
    static const QSet<QString> names{
        QStringLiteral("applet"),   QStringLiteral("audio"),    QStringLiteral("base"),   QStringLiteral("canvas"),
        QStringLiteral("embed"),    QStringLiteral("frame"),    QStringLiteral("frameset"), QStringLiteral("head"),
        QStringLiteral("iframe"),   QStringLiteral("link"),     QStringLiteral("math"),   QStringLiteral("meta"),
        QStringLiteral("noembed"),  QStringLiteral("noframes"), QStringLiteral("noscript"), QStringLiteral("object"),
        QStringLiteral("script"),   QStringLiteral("select"),   QStringLiteral("style"),  QStringLiteral("svg"),
        QStringLiteral("template"), QStringLiteral("textarea"), QStringLiteral("title"),  QStringLiteral("video"),
        QStringLiteral("xmp")};
    return names;
}

bool isVoid(const QString &element)
{
    return element == QLatin1String("br") || element == QLatin1String("img");
}

const QSet<QString> &styleProperties()
{
    static const QSet<QString> names{
        QStringLiteral("color"),       QStringLiteral("background-color"), QStringLiteral("font-family"),
        QStringLiteral("font-size"),   QStringLiteral("font-style"),       QStringLiteral("font-weight"),
        QStringLiteral("text-align"),  QStringLiteral("text-decoration")};
    return names;
}

// A style value of words, numbers, colours and quoted font names only: no
// function (url(), expression()), escape, comment or at-rule can be written.
bool isPlainStyleValue(const QString &value)
{
    if (value.isEmpty())
        return false;
    for (const QChar c : value) {
        if (!(c.isLetterOrNumber() || c == QLatin1Char(' ') || c == QLatin1Char('#') || c == QLatin1Char(',')
              || c == QLatin1Char('.') || c == QLatin1Char('%') || c == QLatin1Char('-') || c == QLatin1Char('"')
              || c == QLatin1Char('\'')))
            return false;
    }
    return true;
}

QString filterStyle(const QString &style)
{
    QStringList kept;
    for (const QString &declaration : style.split(QLatin1Char(';'))) {
        const int colon = declaration.indexOf(QLatin1Char(':'));
        if (colon < 0)
            continue;
        const QString property = declaration.left(colon).trimmed().toLower();
        const QString value = declaration.mid(colon + 1).trimmed();
        if (styleProperties().contains(property) && isPlainStyleValue(value))
            kept << property + QStringLiteral(": ") + value;
    }
    return kept.join(QStringLiteral("; "));
}

bool isAllowedPicture(const QString &src)
{
    const QUrl url(src, QUrl::StrictMode);
    return url.isValid() && url.scheme() == QLatin1String("resourceswivora") && url.host().isEmpty()
        && !url.path().contains(QLatin1String(".."));
}

QString text(const xmlChar *chars)
{
    return chars ? QString::fromUtf8(reinterpret_cast<const char *>(chars)) : QString();
}

// True when the attribute is kept; *written is the value to write.
bool allowedValue(const QString &element, const QString &name, const QString &value, QString *written)
{
    if (name == QLatin1String("style")) {
        *written = filterStyle(value);
        return !written->isEmpty();
    }
    if (name == QLatin1String("align") || name == QLatin1String("dir") || name == QLatin1String("color")
        || name == QLatin1String("face") || name == QLatin1String("size")) {
        *written = value;
        return isPlainStyleValue(value);
    }
    if (element == QLatin1String("a") && name == QLatin1String("href")) {
        const QUrl url(value.trimmed(), QUrl::StrictMode);
        *written = url.toString(QUrl::FullyEncoded);
        return ExternalLinks::isAllowed(url, ExternalLinks::messagingSchemes());
    }
    if (element == QLatin1String("img") && (name == QLatin1String("src") || name == QLatin1String("alt"))) {
        *written = value;
        return name == QLatin1String("alt") || isAllowedPicture(value);
    }
    return false;
}

class Writer
{
public:
    explicit Writer(const WMailHtmlSanitizer::TextWriter &writeText) : m_writeText(writeText) {}

    void children(xmlNode *parent, int depth)
    {
        for (xmlNode *node = parent->children; node; node = node->next)
            this->node(node, depth);
    }

    QString result() const { return m_out; }

private:
    void node(xmlNode *node, int depth)
    {
        if (node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE) {
            const QString content = text(node->content);
            m_out += m_writeText ? m_writeText(content, m_linkDepth > 0) : WMailHtmlSanitizer::escape(content);
            return;
        }
        if (node->type != XML_ELEMENT_NODE)
            return; // comments, processing instructions
        const QString name = text(node->name).toLower();
        if (droppedElements().contains(name))
            return;
        if (!allowedElements().contains(name) || depth >= kMaxDepth) {
            children(node, depth + 1);
            return;
        }
        QString attributes;
        bool hasSource = false;
        for (xmlAttr *attribute = node->properties; attribute; attribute = attribute->next) {
            const QString attributeName = text(attribute->name).toLower();
            xmlChar *raw = xmlNodeListGetString(node->doc, attribute->children, 1);
            QString value;
            const bool kept = allowedValue(name, attributeName, text(raw), &value);
            xmlFree(raw);
            if (!kept || attributes.contains(QLatin1Char(' ') + attributeName + QLatin1Char('=')))
                continue;
            hasSource = hasSource || attributeName == QLatin1String("src");
            attributes += QLatin1Char(' ') + attributeName + QStringLiteral("=\"")
                + WMailHtmlSanitizer::escape(value) + QLatin1Char('"');
        }
        if (name == QLatin1String("img") && !hasSource)
            return; // a picture from anywhere else is not shown at all
        if (isVoid(name)) {
            m_out += QLatin1Char('<') + name + attributes + QStringLiteral(" />");
            return;
        }
        m_out += QLatin1Char('<') + name + attributes + QLatin1Char('>');
        const bool link = name == QLatin1String("a");
        m_linkDepth += link ? 1 : 0;
        children(node, depth + 1);
        m_linkDepth -= link ? 1 : 0;
        m_out += QStringLiteral("</") + name + QLatin1Char('>');
    }

    const WMailHtmlSanitizer::TextWriter &m_writeText;
    QString m_out;
    int m_linkDepth = 0;
};

} // namespace

QString WMailHtmlSanitizer::escape(const QString &text)
{
    return text.toHtmlEscaped();
}

QString WMailHtmlSanitizer::sanitize(const QString &html, const TextWriter &writeText)
{
    if (html.isEmpty())
        return QString();
    // Opened in a body, so that text at the start is not put in a paragraph
    // the writer did not write.
    const QByteArray bytes = "<html><body>" + html.toUtf8();
    const int options = HTML_PARSE_RECOVER | HTML_PARSE_NOERROR | HTML_PARSE_NOWARNING | HTML_PARSE_NONET
        | HTML_PARSE_IGNORE_ENC;
    htmlDocPtr document = htmlReadMemory(bytes.constData(), bytes.size(), nullptr, "UTF-8", options);
    if (!document)
        return QString();
    Writer writer(writeText);
    // The whole document: the parser puts what follows a stray end of the
    // body or the document beside it. The head, where the parser moves
    // metas, styles and titles, is dropped.
    writer.children(reinterpret_cast<xmlNode *>(document), 0);
    xmlFreeDoc(document);
    return writer.result();
}
