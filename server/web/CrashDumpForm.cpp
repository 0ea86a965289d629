#include "CrashDumpForm.h"

#include "WebForm.h"

namespace CrashDumpForm {

bool decode(const QByteArray &body, QByteArray *dump)
{
    bool found = false;
    QByteArray base64 = WebForm::rawField(body, "dumpdata", &found);
    if (!found)
        return false;
    // Clients write "+" as "{p}" and encode nothing else, so a literal "+"
    // is a plus too (never a space) and no percent-decoding is done.
    base64.replace("{p}", "+");
    const QByteArray::FromBase64Result result =
        QByteArray::fromBase64Encoding(base64, QByteArray::AbortOnBase64DecodingErrors);
    if (result.decodingStatus != QByteArray::Base64DecodingStatus::Ok)
        return false;
    *dump = result.decoded;
    return true;
}

} // namespace CrashDumpForm
