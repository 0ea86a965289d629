// Feeds arbitrary bytes to the message record reader (the "structure" of a
// received message). Whatever it accepts must write back as a form that reads
// again into the same form.
#include "WMailStructure.h"

#include <cstdint>
#include <cstdlib>

// Damage is logged; a million log lines would only slow the run.
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    WMailStructure record;
    if (!record.deserializeStructure(bytes))
        return 0;
    const QByteArray written = record.serializeStructure();
    WMailStructure reread;
    if (!reread.deserializeStructure(written) || reread.serializeStructure() != written)
        abort();
    return 0;
}
