#pragma once

#include <QByteArray>
#include <QString>

// Reading "name=value&name=value" bodies and path segments of requests.
namespace WebForm {

// The raw (still encoded) value of the first field called `name`; `found`
// tells an empty value from an absent field.
QByteArray rawField(const QByteArray &body, const QByteArray &name, bool *found = nullptr);

// A field as browsers encode forms: "+" is a space, then percent-decoding,
// then UTF-8.
QString decodedField(const QByteArray &body, const QByteArray &name, bool *found = nullptr);

// A percent-encoded path segment as UTF-8 text ("+" stays a plus).
QString decodePathSegment(const QByteArray &segment);

} // namespace WebForm
