#include "WebForm.h"

#include <QList>

namespace WebForm {

namespace {

// All of the bytes: a decoded "%00" must stay in the text for the checks to
// see, where the QByteArray overload would end the text there.
QString utf8Text(const QByteArray &bytes)
{
    return QString::fromUtf8(bytes.constData(), bytes.size());
}

} // namespace

QByteArray rawField(const QByteArray &body, const QByteArray &name, bool *found)
{
    if (found)
        *found = false;
    for (const QByteArray &pair : body.split('&')) {
        const int equals = pair.indexOf('=');
        const QByteArray key = equals < 0 ? pair : pair.left(equals);
        if (key != name)
            continue;
        if (found)
            *found = true;
        return equals < 0 ? QByteArray() : pair.mid(equals + 1);
    }
    return QByteArray();
}

QString decodedField(const QByteArray &body, const QByteArray &name, bool *found)
{
    QByteArray value = rawField(body, name, found);
    value.replace('+', ' ');
    return utf8Text(QByteArray::fromPercentEncoding(value));
}

QString decodePathSegment(const QByteArray &segment)
{
    return utf8Text(QByteArray::fromPercentEncoding(segment));
}

} // namespace WebForm
