// A files item's bytes as a peer sends them: the preview made on receipt,
// the list shown from it, and each entry read back and saved as the user's
// "save" does. The preview lists exactly the entries the data holds whole;
// a saved entry lands in the chosen folder, under one harmless name, beside
// (never over) a file of the same name, with the entry's bytes.
#include "FuzzCheck.h"
#include "WMailFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

namespace {

// Entries saved per input: the file system is the slow part.
constexpr int kSavedEntries = 2;

QByteArray contentsOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void checkSaved(const QDir &folder, const QString &path, const WMailFiles::Entry &entry)
{
    check(!path.isEmpty());
    const QFileInfo saved(path);
    check(saved.absolutePath() == folder.absolutePath() && saved.isFile() && !saved.isSymLink());
    check(contentsOf(path) == entry.contents);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir root;
    const QDir folder(root.path());
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size));

    const QList<WMailFiles::Entry> listed = WMailFiles::readPreview(WMailFiles::preview(bytes));
    for (int i = 0; i < listed.size(); ++i) {
        WMailFiles::Entry entry;
        check(WMailFiles::readEntry(bytes, i, &entry));
        check(entry.name == listed.at(i).name && entry.size == listed.at(i).size);
        if (i >= kSavedEntries)
            continue;
        const QString name = WMailFiles::safeName(entry.name);
        check(!name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
              && !name.contains(QLatin1Char('/')) && name.toUtf8().size() <= 255);
        QString error;
        const QString first = WMailFiles::save(folder.path(), entry, &error);
        checkSaved(folder, first, entry);
        check(QFileInfo(first).fileName() == name);
        const QString second = WMailFiles::save(folder.path(), entry, &error);
        checkSaved(folder, second, entry);
        check(second != first && contentsOf(first) == entry.contents);
        check(folder.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot).size() == 2);
        QFile::remove(first);
        QFile::remove(second);
    }
    WMailFiles::Entry beyond;
    check(!WMailFiles::readEntry(bytes, listed.size(), &beyond));
    check(!WMailFiles::readEntry(bytes, -1, &beyond));
    return 0;
}
