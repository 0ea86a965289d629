#include "ServerKeyFiles.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

namespace {

QString readText(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLatin1(file.readAll());
}

bool writeText(const QString &path, const QString &text, QFileDevice::Permissions permissions)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.setPermissions(permissions);
    file.write(text.toLatin1());
    return file.commit();
}

} // namespace

WKeyPair ServerKeyFiles::loadOrCreate(const QString &dataDir)
{
    const QDir dir(dataDir);
    const QString publicPath = dir.filePath(publicKeyFileName());
    const QString privatePath = dir.filePath(privateKeyFileName());

    WKeyPair pair{readText(publicPath), readText(privatePath)};
    if (pair.isValid())
        return pair;

    pair = WCryptography::GenerateKeyPair();
    if (!pair.isValid())
        return WKeyPair();
    // The private key first: a public key on disk without its private half
    // would be pinned by clients and then never work.
    if (!writeText(privatePath, pair.privateKey, QFileDevice::ReadOwner | QFileDevice::WriteOwner)
        || !writeText(publicPath, pair.publicKey, QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return WKeyPair();
    return pair;
}
