#pragma once

// Two users' clients joined in-process: bob shares the folder "bob" as disc
// "docs" with alice (read, write and delete), alice shares her folder
// "alice" as her own disc "docs". Transfers run in alice's plug-in; local
// folders live beside the shares in the same temporary directory.

#include "ShareFixture.h"
#include "TestHost.h"

#include <WFtp.h>

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QTemporaryDir>

#include <memory>

class TransferFixture
{
public:
    TransferFixture()
        : alice("alice", &network), bob("bob", &network), alicePlugin(std::make_unique<WFtp>()),
          bobPlugin(std::make_unique<WFtp>())
    {
        for (const char *folder : {"alice", "bob", "local"})
            QDir().mkpath(path(folder));
        alice.setPlugin(alicePlugin.get());
        bob.setPlugin(bobPlugin.get());
        WFtpEngine &bobs = *bobPlugin->commandParser().engine();
        const QString bobDisc = bobs.addSharedDisc(path("bob"), "docs");
        bobs.addPermittedUser(ShareFixture::record("alice", {"1", "1", "1"}), bobDisc, "root");
        alicePlugin->controller().engine()->addSharedDisc(path("alice"), "docs");
    }
    ~TransferFixture()
    {
        alice.waitIdle();
        bob.waitIdle();
    }

    QString path(const QString &tail) const { return root.path() + '/' + tail; }
    WFtpMain &main() { return alicePlugin->controller(); }

    static QByteArray pattern(int size, int seed = 0)
    {
        QByteArray bytes(size, Qt::Uninitialized);
        // Unsigned: the pattern wraps for files over 16 MiB.
        for (quint32 i = 0; i < quint32(size); ++i)
            bytes[int(i)] = char((i * 131u + i / 4093u + quint32(seed) * 7u) & 0xffu);
        return bytes;
    }
    // Relative name -> SHA-256 of every file under folder (folders too, empty).
    static QMap<QString, QByteArray> tree(const QString &folder)
    {
        QMap<QString, QByteArray> entries;
        QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString entry = it.next();
            entries.insert(entry.mid(folder.size()),
                           QFileInfo(entry).isDir()
                               ? QByteArray()
                               : QCryptographicHash::hash(ShareFixture::readFile(entry), QCryptographicHash::Sha256));
        }
        return entries;
    }
    // A small tree: files of several chunk sizes, an empty file, a deep folder.
    static void makeTree(const QString &folder)
    {
        QDir().mkpath(folder + "/sub/deeper");
        ShareFixture::writeFile(folder + "/one.bin", pattern(1024 * 1024 + 17, 1));
        ShareFixture::writeFile(folder + "/empty.txt", QByteArray());
        ShareFixture::writeFile(folder + "/sub/two.bin", pattern(10536, 2));
        ShareFixture::writeFile(folder + "/sub/deeper/three.bin", pattern(300000, 3));
        ShareFixture::writeFile(folder + "/.hidden", "h");
    }

    QTemporaryDir root;
    TestNetwork network;
    TestHost alice;
    TestHost bob;
    std::unique_ptr<WFtp> alicePlugin;
    std::unique_ptr<WFtp> bobPlugin;
};
