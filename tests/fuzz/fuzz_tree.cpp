// Feeds arbitrary text to the tree parser. Whatever it accepts must write back
// as the same text; whatever it refuses must leave the node empty.
#include "WDataStructure.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromLatin1(reinterpret_cast<const char *>(data), int(size));
    WDataStructure tree;
    tree.setSetting(QStringLiteral("stale/key"), "value");
    if (!tree.DeserializeStructure(text)) {
        if (tree.size() != 0 || tree.childCount() != 0)
            abort();
        return 0;
    }
    // Base64 may end in bits that decoding drops, so compare the binary
    // forms by way of a second round trip.
    const QString written = tree.SerializeStructure();
    WDataStructure again;
    if (written.isEmpty() || !again.DeserializeStructure(written) || again.SerializeStructure() != written)
        abort();
    if (QByteArray::fromBase64(written.toLatin1()) != QByteArray::fromBase64(text.toLatin1()))
        abort();
    return 0;
}
