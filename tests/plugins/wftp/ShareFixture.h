#pragma once

// An owner's account with shares on real folders in a temporary directory,
// for engine tests: alice owns the disc "docs" (a folder "docs" with a shared
// sub-folder "pub") and the folder "outside" lies beside it, not shared.

#include <IAccountProvider.h>
#include <WFtpEngine.h>
#include <WivoraAccount.h>

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>

#include <atomic>

class TestAccountProvider : public IAccountProvider
{
public:
    explicit TestAccountProvider(const QString &user) { account->setUserName(user); }
    QSharedPointer<WivoraAccount> getAccount() override { return account; }
    void saveAccount() override { ++saves; }
    bool isLocal() override { return true; }

    QSharedPointer<WivoraAccount> account = QSharedPointer<WivoraAccount>::create();
    std::atomic<int> saves{0};
};

class ShareFixture
{
public:
    struct Grant
    {
        const char *read = "0";
        const char *write = "0";
        const char *del = "0";
        const char *full = "0";
    };

    ShareFixture() : provider(QSharedPointer<TestAccountProvider>::create(QStringLiteral("alice")))
    {
        engine.setAccountProvider(provider);
        engine.setClock([this] { return nowMs.load(); });
        QDir().mkpath(docs() + QStringLiteral("/pub"));
        QDir().mkpath(outside());
        writeFile(docs() + QStringLiteral("/a.txt"), "alpha");
        writeFile(docs() + QStringLiteral("/pub/p.txt"), "public");
        writeFile(outside() + QStringLiteral("/secret.txt"), "secret");
        disc = engine.addSharedDisc(docs(), QStringLiteral("docs"));
        engine.addSharedFolder(disc, QStringLiteral("/pub"));
    }

    QString docs() const { return root.path() + QStringLiteral("/docs"); }
    QString outside() const { return root.path() + QStringLiteral("/outside"); }
    static QString vpath(const QString &tail) { return QStringLiteral("vls/alice/docs/") + tail; }

    static QSharedPointer<WDataStructure> record(const QString &user, const Grant &grant, const char *permanent = "1",
                                                 const QDateTime &validTo = QDateTime())
    {
        auto node = QSharedPointer<WDataStructure>::create();
        node->sv(QStringLiteral("section"), user);
        node->sv(QStringLiteral("read"), QString::fromLatin1(grant.read));
        node->sv(QStringLiteral("write"), QString::fromLatin1(grant.write));
        node->sv(QStringLiteral("delete"), QString::fromLatin1(grant.del));
        node->sv(QStringLiteral("full"), QString::fromLatin1(grant.full));
        node->sv(QStringLiteral("permanent"), QString::fromLatin1(permanent));
        if (validTo.isValid())
            node->sv(QStringLiteral("validTo"), validTo.toString(Qt::ISODate));
        return node;
    }
    void grant(const QString &user, const QString &folder, const Grant &grant)
    {
        engine.addPermittedUser(record(user, grant), disc, folder);
    }

    static bool writeFile(const QString &path, const QByteArray &bytes)
    {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
    }
    static QByteArray readFile(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    // Every name and content of the temporary directory outside the share
    // (or of all of it): compared before and after an attack.
    QByteArray outsideState(bool withShare = false) const
    {
        QCryptographicHash hash(QCryptographicHash::Sha256);
        QStringList entries;
        QDirIterator it(root.path(), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (withShare || !path.startsWith(docs() + QLatin1Char('/')))
                entries.append(path);
        }
        entries.sort();
        for (const QString &path : entries)
            hash.addData(path.toUtf8() + '\n' + (QFileInfo(path).isSymLink() ? QByteArray() : readFile(path)));
        return hash.result();
    }

    QTemporaryDir root;
    QSharedPointer<TestAccountProvider> provider;
    WFtpEngine engine;
    QString disc;
    std::atomic<qint64> nowMs{QDateTime::currentMSecsSinceEpoch()};
};
