// Request bodies and path segments as any web client may send them, through
// the web server's form reader: no crash, a field's raw value never runs into
// the next field, and text a browser encoded (a form field, a path segment)
// decodes back to exactly that text, however odd.
#include "FuzzCheck.h"
#include "WebForm.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));

    // The input as a body.
    bool found = false;
    const QByteArray raw = WebForm::rawField(bytes, "password", &found);
    const QByteArray fenced = '&' + bytes + '&';
    if (found)
        check(fenced.contains("&password=" + raw + '&') || (raw.isEmpty() && fenced.contains("&password&")));
    else
        check(raw.isEmpty() && !fenced.contains("&password=") && !fenced.contains("&password&"));
    WebForm::decodedField(bytes, "password");
    WebForm::decodePathSegment(bytes);

    // The input as text a browser encodes: space as "+", the rest as percent escapes.
    const QString text = QString::fromUtf8(bytes.constData(), bytes.size());
    const QByteArray encoded = text.toUtf8().toPercentEncoding(" ").replace(' ', '+');
    const QByteArray body = "user=someone&password=" + encoded + "&password=second&next=" + encoded;
    check(WebForm::decodedField(body, "password", &found) == text && found);
    check(WebForm::decodedField(body, "next") == text);
    WebForm::decodedField(body, "absent", &found);
    check(!found);
    check(WebForm::decodePathSegment(text.toUtf8().toPercentEncoding()) == text);
    return 0;
}
