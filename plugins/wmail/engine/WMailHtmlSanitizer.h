#pragma once

#include <QString>

#include <functional>

// Makes HTML that a peer wrote safe to put into the conversation page. The
// text is parsed by a real HTML parser and written out again from an
// allow-list: formatting elements and their harmless attributes, links to
// the schemes the view opens, pictures of the plug-in's own resources. Every
// other element is dropped (scripts, styles, embedded objects and frames
// with their content; anything else keeps its text), every text is escaped,
// and every element written is closed, so the result cannot run script,
// load from the network or break out of the element it is put in.
class WMailHtmlSanitizer
{
public:
    // Writes one run of text (raw, not escaped) as HTML; insideLink is set
    // within an anchor. The default escapes the text.
    using TextWriter = std::function<QString(const QString &text, bool insideLink)>;

    WMailHtmlSanitizer() = delete;

    static QString sanitize(const QString &html, const TextWriter &writeText = TextWriter());

    // Text escaped for an element's content or a double-quoted attribute.
    static QString escape(const QString &text);
};
