// Crash-report uploads as any web client may post them, through the web
// server's reader, against the client's writer of them: a body that reads
// writes back and reads as the same dump, and every dump the client writes
// reads back unchanged.
#include "CrashDumpForm.h"
#include "CrashDumpUploader.h"
#include "FuzzCheck.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    QByteArray dump;
    if (CrashDumpForm::decode(bytes, &dump)) {
        QByteArray again;
        check(CrashDumpForm::decode(CrashDumpUploader::formBody(dump), &again) && again == dump);
    }
    // The input as a dump the client sends.
    QByteArray read;
    check(CrashDumpForm::decode(CrashDumpUploader::formBody(bytes), &read) && read == bytes);
    return 0;
}
