// Feeds arbitrary records to the asker's reading of a small-file batch
// reply, as an owner's link could bring them: accepted only when every file
// asked for is answered in order, within the caps, with exactly the bytes
// the reply carries.
#include <SmallFileBatch.h>
#include <WFtpProtocol.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    KvrConfig reply;
    if (!reply.DeserializeConfigBinary(QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size))))
        return 0;
    // Asked for as many names as the reply has lines, so its lines are read.
    const int lines = int(qMin<qsizetype>(reply.GetValue(WFtpProtocol::KeyFiles).count('\n'), SmallFileBatch::MaxFiles));
    QStringList names;
    for (int i = 0; i < lines; ++i)
        names << QStringLiteral("f%1").arg(i);
    QVector<SmallFileBatch::File> files;
    if (!SmallFileBatch::readReply(reply, names, &files))
        return 0;
    qint64 total = 0;
    for (int i = 0; i < files.size(); ++i) {
        const SmallFileBatch::File &file = files.at(i);
        if (file.name != names.at(i) || file.data.size() > SmallFileBatch::MaxFileBytes
            || (file.served && file.size != file.data.size()) || (!file.served && !file.data.isEmpty()))
            abort();
        total += file.data.size();
    }
    if (files.size() != names.size() || total != reply.GetValue(WFtpProtocol::KeyData).size())
        abort();
    return 0;
}
