// The listing record both ways: a peer's listing text read back as rows, and
// an arbitrary file name listed by the engine and read back unchanged.
#include "WFtpFuzzShare.h"

#include <QFileInfo>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static WFtpFuzzShare *share = new WFtpFuzzShare;
    static WFtpEngine *engine = [] {
        auto *created = new WFtpEngine(QSharedPointer<WFtpFuzzShare>(share, [](WFtpFuzzShare *) {}));
        share->share(*created);
        return created;
    }();
    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));

    // A listing as a peer may send it.
    WDataStructure listing;
    if (listing.DeserializeStructure(QString::fromLatin1(bytes))) {
        for (const auto &row : listing.getChildren()) {
            row->gv(QStringLiteral("Name"));
            row->gv(QStringLiteral("Size")).toLongLong();
            row->GetValue(QStringLiteral("thumbnail"));
        }
        const QString written = listing.SerializeStructure();
        WDataStructure again;
        if (!written.isEmpty() && (!again.DeserializeStructure(written) || again.SerializeStructure() != written))
            abort();
    }

    // A file of that name listed by the engine comes back under that name.
    const QString name = QString::fromUtf8(bytes);
    if (name.isEmpty() || name.size() > 200 || name == QLatin1String(".") || name == QLatin1String("..")
        || name.contains(QLatin1Char('/')) || name.contains(QChar(0)) || name.contains(QChar::ReplacementCharacter)
        || name.toUtf8() != bytes)
        return 0;
    const QString local = share->sharePath() + QStringLiteral("/sub/deeper/") + name;
    QFile file(local);
    if (QFileInfo::exists(local) || !file.open(QIODevice::WriteOnly))
        return 0;
    file.close();
    const WDataStructure listed = engine->listDirectory(QStringLiteral("vls/alice/share/sub/deeper"),
                                                        QStringLiteral("bob"));
    WDataStructure parsed;
    if (!parsed.DeserializeStructure(listed.SerializeStructure())
        || !parsed.GetStructureByValue(QStringLiteral("Name"), name))
        abort();
    QFile::remove(local);
    share->checkOutsideUntouched();
    return 0;
}
