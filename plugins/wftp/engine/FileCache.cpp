#include "FileCache.h"

#include "PartialFile.h"
#include "WFtpCommands.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QThread>
#include <QUuid>

namespace {
const QString IndexFileName = QStringLiteral("toc.cch");
const QString ListingSuffix = QStringLiteral(".cch");
// Rows that arrive within this time of each other are written together.
constexpr int MergeDelayMs = 100;
const char *const RowKeys[] = {"Name", "Directory", "Modified", "Size", "Extension", "isShared", "thumbnail"};

// The cache is the plug-in's own: a link in its place would send its writes
// elsewhere. The link goes, never what it points at.
void removeLinkAt(const QString &path)
{
    if (QFileInfo(path).isSymLink())
        QFile::remove(path);
}
} // namespace

FileCache::FileCache(Lister lister) : m_lister(std::move(lister))
{
    m_flusher.setMaxThreadCount(1);
}

FileCache::~FileCache()
{
    m_flusher.waitForDone();
}

void FileCache::setLister(Lister lister)
{
    QMutexLocker lock(&m_mutex);
    m_lister = std::move(lister);
}

void FileCache::init(const QString &folder)
{
    flush();
    QMutexLocker lock(&m_mutex);
    m_folder = folder;
    ++m_session;
    m_index.clear();
    m_queued.clear();
    removeLinkAt(folder);
    QDir().mkpath(folder);
    removeLinkAt(QDir(folder).filePath(IndexFileName));
    KvrConfig loaded;
    if (loaded.LoadConfig(QDir(folder).filePath(IndexFileName)))
        m_index = loaded;
    // Listing files nobody names any more (replaced, or left by a crash).
    QSet<QString> named;
    for (int i = 0; i < m_index.size(); ++i) {
        const QString file = fileFor(QString::fromUtf8(m_index.GetValue(i)));
        if (!file.isEmpty())
            named.insert(QFileInfo(file).fileName());
    }
    const QStringList files = QDir(folder).entryList({QStringLiteral("*") + ListingSuffix}, QDir::Files);
    for (const QString &file : files) {
        if (file != IndexFileName && !named.contains(file))
            QFile::remove(QDir(folder).filePath(file));
    }
    // Listing files a crash left half written.
    for (const QString &file : QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System)) {
        if (PartialFile::isTemporaryName(file))
            QFile::remove(QDir(folder).filePath(file));
    }
}

FolderListing FileCache::getListing(const QString &virtualPath, bool reload)
{
    Lister lister;
    quint64 session = 0;
    {
        QMutexLocker lock(&m_mutex);
        if (m_folder.isEmpty())
            return FolderListing::failed(FolderListing::Error::Refused);
        const QString name = m_index.gv(virtualPath);
        FolderListing stored;
        if (!reload && !name.isEmpty() && readListing(name, stored.rows)) {
            merge(stored.rows, m_queued.value(virtualPath));
            return stored;
        }
        lister = m_lister;
        session = m_session;
        ++m_asking[virtualPath];
    }
    // The owner's reply is awaited without the lock.
    FolderListing listing = lister ? lister(virtualPath) : FolderListing::failed(FolderListing::Error::Refused);

    QMutexLocker lock(&m_mutex);
    // A logout and maybe another user's login came meanwhile: the asker's
    // link is gone with its session.
    if (session != m_session)
        return FolderListing::failed(FolderListing::Error::NoReply);
    if (--m_asking[virtualPath] == 0)
        m_asking.remove(virtualPath);
    if (!listing.ok() || listing.rows.childCount() == 0 || m_folder.isEmpty()) {
        // Rows for a folder that has no stored listing have nowhere to go.
        if (m_index.gv(virtualPath).isEmpty())
            m_queued.remove(virtualPath);
        return listing;
    }
    // Thumbnails that overtook the listing belong in it.
    merge(listing.rows, m_queued.take(virtualPath));
    const QString name = writeListing(listing.rows);
    if (name.isEmpty())
        return listing;
    const QString previous = m_index.gv(virtualPath);
    m_index.sv(virtualPath, name);
    saveIndex();
    if (!previous.isEmpty() && previous != name)
        QFile::remove(fileFor(previous));
    return listing;
}

void FileCache::updateEntry(const QSharedPointer<WDataStructure> &entry, const QString &path)
{
    if (!entry || entry->isEmpty() || entry->SerializeStructure().size() > MaxRowBytes)
        return;
    QMutexLocker lock(&m_mutex);
    if (m_folder.isEmpty() || (m_index.gv(path).isEmpty() && !m_asking.contains(path)))
        return;
    m_queued[path].append(entry);
    if (m_flushing)
        return;
    m_flushing = true;
    m_flusher.start([this] {
        QThread::msleep(MergeDelayMs);
        flushQueued();
    });
}

void FileCache::flush()
{
    m_flusher.waitForDone();
    flushQueued();
}

int FileCache::listingWrites() const
{
    QMutexLocker lock(&m_mutex);
    return m_writes;
}

void FileCache::flushQueued()
{
    QMutexLocker lock(&m_mutex);
    for (auto it = m_queued.begin(); it != m_queued.end();) {
        // Rows of a folder still being asked for wait for its listing.
        if (m_asking.contains(it.key())) {
            ++it;
            continue;
        }
        const QString name = m_index.gv(it.key());
        WDataStructure listing;
        if (!name.isEmpty() && readListing(name, listing)) {
            merge(listing, it.value());
            const QString rewritten = writeListing(listing);
            if (!rewritten.isEmpty()) {
                m_index.sv(it.key(), rewritten);
                saveIndex();
                QFile::remove(fileFor(name));
            }
        }
        it = m_queued.erase(it);
    }
    m_flushing = false;
}

QString FileCache::fileFor(const QString &name) const
{
    // The index names files by UUID only: anything else is damage, and must
    // not name a file anywhere else.
    const QUuid uuid(name);
    if (uuid.isNull() || uuid.toString() != name)
        return QString();
    return QDir(m_folder).filePath(name + ListingSuffix);
}

bool FileCache::readListing(const QString &name, WDataStructure &listing) const
{
    const QString path = fileFor(name);
    if (path.isEmpty())
        return false;
    // Read-only: a missing file is a miss, never an empty listing.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    WDataStructure read;
    if (!read.DeserializeStructure(QString::fromUtf8(file.readAll())) || read.childCount() == 0)
        return false;
    listing = WFtpCommands::withSafeRows(read);
    return listing.childCount() > 0;
}

QString FileCache::writeListing(const WDataStructure &listing)
{
    // A fresh file each time: the index names either the old or the new one,
    // whole, whatever happens between the two writes.
    const QString name = QUuid::createUuid().toString();
    QDir().mkpath(m_folder);
    PartialFile file(fileFor(name));
    const QByteArray bytes = listing.SerializeStructure().toUtf8();
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        return QString();
    ++m_writes;
    return name;
}

bool FileCache::saveIndex() const
{
    const QString path = QDir(m_folder).filePath(IndexFileName);
    removeLinkAt(path);
    return m_index.SaveConfig(path);
}

void FileCache::merge(WDataStructure &listing, const QList<QSharedPointer<WDataStructure>> &rows)
{
    for (const auto &row : rows) {
        const QString name = row->gv(QStringLiteral("Name"));
        const auto existing = listing.GetStructureByValue(QStringLiteral("Name"), name);
        // A row for no listed file is made up: it would only grow the cache.
        if (!existing)
            continue;
        for (const char *key : RowKeys)
            existing->SetValue(QString::fromLatin1(key), row->GetValue(QString::fromLatin1(key)));
    }
}
