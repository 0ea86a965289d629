#include "WebForm.h"

#include <QList>

namespace WebForm {

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
    return QString::fromUtf8(QByteArray::fromPercentEncoding(value));
}

QString decodePathSegment(const QByteArray &segment)
{
    return QString::fromUtf8(QByteArray::fromPercentEncoding(segment));
}

} // namespace WebForm
