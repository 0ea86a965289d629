// Feeds arbitrary bytes to the parser of "bufferedcommands.bff", a file that
// may be truncated or damaged. Whatever it keeps must write back to a file
// that parses as the same queues.
#include "BufferedCommandsFile.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));
    bool intact = false;
    const BufferedCommandsFile::Queues queues = BufferedCommandsFile::parse(bytes, &intact);
    const QByteArray again = BufferedCommandsFile::serialize(queues);
    bool againIntact = false;
    if (BufferedCommandsFile::parse(again, &againIntact) != queues || !againIntact)
        abort();
    return 0;
}
