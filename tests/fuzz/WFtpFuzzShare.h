#pragma once

// The owner "alice" sharing one temporary folder (disc "share", a shared
// folder "sub") with bob (read and write) and everyone (read), beside a
// sentinel folder outside the share that no input may touch.

#include <IAccountProvider.h>
#include <WFtpEngine.h>
#include <WivoraAccount.h>

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>

#include <cstdlib>

class WFtpFuzzShare : public IAccountProvider
{
public:
    WFtpFuzzShare()
    {
        m_account->setUserName(QStringLiteral("alice"));
        QDir().mkpath(sharePath() + QStringLiteral("/sub/deeper"));
        QDir().mkpath(outsidePath());
        write(sharePath() + QStringLiteral("/a.txt"), "inside");
        write(sharePath() + QStringLiteral("/sub/b.txt"), "inside too");
        write(outsidePath() + QStringLiteral("/secret.txt"), "outside");
        QFile::link(outsidePath(), sharePath() + QStringLiteral("/out"));
        m_outsideDigest = outsideDigest();
    }

    QSharedPointer<WivoraAccount> getAccount() override { return m_account; }
    void saveAccount() override {}
    bool isLocal() override { return true; }

    // Sets up the share on engine (after setAccountProvider).
    void share(WFtpEngine &engine)
    {
        const QString disc = engine.addSharedDisc(sharePath(), QStringLiteral("share"));
        engine.addSharedFolder(disc, QStringLiteral("/sub"));
        grant(engine, disc, QStringLiteral("root"), QStringLiteral("bob"), "1", "1");
        grant(engine, disc, QStringLiteral("sub"), QStringLiteral("bob"), "1", "1");
        grant(engine, disc, QStringLiteral("root"), QStringLiteral("allusers"), "1", "0");
    }

    QString sharePath() const { return m_root.path() + QStringLiteral("/share"); }
    QString outsidePath() const { return m_root.path() + QStringLiteral("/outside"); }

    // Aborts when anything outside the share changed or appeared.
    void checkOutsideUntouched() const
    {
        if (outsideDigest() != m_outsideDigest)
            abort();
    }

private:
    static void write(const QString &path, const QByteArray &bytes)
    {
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write(bytes);
    }
    static void grant(WFtpEngine &engine, const QString &disc, const QString &folder, const QString &user,
                      const char *read, const char *write)
    {
        auto record = QSharedPointer<WDataStructure>::create();
        record->sv(QStringLiteral("section"), user);
        record->sv(QStringLiteral("read"), QString::fromLatin1(read));
        record->sv(QStringLiteral("write"), QString::fromLatin1(write));
        record->sv(QStringLiteral("permanent"), QStringLiteral("1"));
        engine.addPermittedUser(record, disc, folder);
    }
    // Names and contents of everything beside the share (the share itself excluded).
    QByteArray outsideDigest() const
    {
        QCryptographicHash hash(QCryptographicHash::Sha256);
        QDirIterator it(m_root.path(), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        QStringList entries;
        while (it.hasNext()) {
            const QString path = it.next();
            if (!path.startsWith(sharePath() + QLatin1Char('/')))
                entries.append(path);
        }
        entries.sort();
        for (const QString &path : entries) {
            hash.addData(path.toUtf8());
            QFile file(path);
            if (!it.fileInfo().isSymLink() && file.open(QIODevice::ReadOnly))
                hash.addData(file.readAll());
        }
        return hash.result();
    }

    QTemporaryDir m_root;
    QSharedPointer<WivoraAccount> m_account = QSharedPointer<WivoraAccount>::create();
    QByteArray m_outsideDigest;
};
