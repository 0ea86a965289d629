// Feeds arbitrary bytes to the record parser. Whatever it accepts must write
// back as exactly the same bytes; whatever it refuses must leave it empty.
#include "KvrConfig.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    KvrConfig record;
    record.sv(QStringLiteral("stale"), QStringLiteral("entry"));
    if (!record.DeserializeConfigBinary(bytes)) {
        if (record.size() != 0)
            abort();
        return 0;
    }
    if (record.SerializeConfigBinary() != bytes)
        abort();
    for (int i = 0; i < record.size(); ++i)
        if (record.GetValue(record.GetKey(i)) != record.GetValue(i))
            abort();
    return 0;
}
