#include "WUtilities.h"

#include "BlockingHttpGet.h"
#include "PSettings.h"
#include "ServerProtocol.h"
#include "ServerRequest.h"
#include "WCryptography.h"

#include <QCryptographicHash>
#include <QFile>
#include <QMutex>

#include <QUrl>
#include <QtEndian>

#include <utility>

QByteArray WUtilities::intToByteArray(int value)
{
    QByteArray bytes(4, Qt::Uninitialized);
    qToBigEndian<qint32>(value, bytes.data());
    return bytes;
}

int WUtilities::parseInt(const QByteArray &bytes)
{
    if (bytes.size() < 4)
        return 0;
    return qFromBigEndian<qint32>(bytes.constData());
}

QString WUtilities::sizeText(qint64 bytes)
{
    QString unit = QStringLiteral("bytes");
    if (bytes > 1024) {
        bytes /= 1024;
        unit = QStringLiteral("KB");
        if (bytes > 1024) {
            bytes /= 1024;
            unit = QStringLiteral("MB");
        }
    }
    return QString::number(bytes) + QLatin1Char(' ') + unit;
}

namespace {

const QString kServerKeySetting = QStringLiteral("service/serverkey");
const QString kKeyFileSetting = QStringLiteral("service/serverkeyfile");
const QString kFingerprintSetting = QStringLiteral("service/serverkeysha256");
constexpr int kKeyFetchTimeoutMs = 10000;
constexpr qint64 kMaxKeyBytes = 64 * 1024;

QString setting(const QString &key)
{
    return PSettings::GetValue(key).toString().trimmed();
}

bool looksLikePublicKey(const QString &text)
{
    return text.startsWith(QLatin1String("-----BEGIN PUBLIC KEY-----"))
           && text.contains(QLatin1String("-----END PUBLIC KEY-----"));
}

} // namespace

QString WUtilities::getUserIp(const QString &user)
{
    Q_UNUSED(user) // one main server serves every user
    QString address = setting(QStringLiteral("mainserverip"));
    if (address.isEmpty())
        address = setting(QStringLiteral("service/domain"));
    return address.isEmpty() ? QStringLiteral("127.0.0.1") : address;
}

QString WUtilities::publicKeyFingerprint(const QString &publicKey)
{
    const QByteArray der = WCryptography::PublicKeyDer(publicKey);
    return der.isEmpty() ? QString()
                         : QString::fromLatin1(QCryptographicHash::hash(der, QCryptographicHash::Sha256).toHex());
}

namespace {

// The fingerprint as people write it: any case, with ":" or spaces between bytes.
QString normalisedFingerprint(QString text)
{
    return text.remove(QLatin1Char(':')).remove(QLatin1Char(' ')).toLower();
}

QString keyFromFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxKeyBytes)
        return {};
    const QString key = QString::fromLatin1(file.readAll()).trimmed();
    return looksLikePublicKey(key) && !WCryptography::PublicKeyDer(key).isEmpty() ? key : QString();
}

QString fetchKey()
{
    QString site = setting(QStringLiteral("service/accountsite"));
    if (site.isEmpty())
        site = QStringLiteral("http://127.0.0.1:8080");
    while (site.endsWith(QLatin1Char('/')))
        site.chop(1);
    const QString key = QString::fromUtf8(BlockingHttpGet::fetch(
        QUrl(site + QStringLiteral("/backend/publickey")), kKeyFetchTimeoutMs, kMaxKeyBytes))
                            .trimmed();
    // Anything but a key (an error page, say) must never be pinned.
    return looksLikePublicKey(key) ? key : QString();
}

} // namespace

namespace {
QMutex s_firstUseMutex;
QString s_firstUseFingerprint;
} // namespace

QString WUtilities::takeKeyTrustedOnFirstUse()
{
    QMutexLocker lock(&s_firstUseMutex);
    return std::exchange(s_firstUseFingerprint, QString());
}

QString WUtilities::getServerPublicKey(const QString &user)
{
    Q_UNUSED(user)
    const QString keyFile = setting(kKeyFileSetting);
    const QString fingerprint = normalisedFingerprint(setting(kFingerprintSetting));
    if (!keyFile.isEmpty()) {
        const QString key = keyFromFile(keyFile);
        if (key.isEmpty()) {
            qCritical("the service's key file (machine setting \"%s\") holds no public key: %s",
                      qPrintable(kKeyFileSetting), qPrintable(keyFile));
            return {};
        }
        if (!fingerprint.isEmpty() && publicKeyFingerprint(key) != fingerprint) {
            qCritical("the service's key in \"%s\" differs from the one pinned by \"%s\": refused",
                      qPrintable(kKeyFileSetting), qPrintable(kFingerprintSetting));
            return {};
        }
        return key;
    }

    const QString kept = setting(kServerKeySetting);
    if (!kept.isEmpty() && (fingerprint.isEmpty() || publicKeyFingerprint(kept) == fingerprint))
        return kept;
    const QString fetched = fetchKey();
    if (fetched.isEmpty())
        return {};
    if (!fingerprint.isEmpty() && publicKeyFingerprint(fetched) != fingerprint) {
        qCritical("the service's key differs from the one pinned by the machine setting \"%s\": refused",
                  qPrintable(kFingerprintSetting));
        return {};
    }
    if (fingerprint.isEmpty()) {
        qWarning("trusting the service's key on first use; pin it with the machine setting \"%s\" or \"%s\"",
                 qPrintable(kKeyFileSetting), qPrintable(kFingerprintSetting));
    }
    // A key kept meanwhile by another thread wins.
    const QString keptMeanwhile = setting(kServerKeySetting);
    if (!keptMeanwhile.isEmpty() && (fingerprint.isEmpty() || publicKeyFingerprint(keptMeanwhile) == fingerprint))
        return keptMeanwhile;
    PSettings::SetValue(kServerKeySetting, fetched);
    if (fingerprint.isEmpty()) {
        QMutexLocker lock(&s_firstUseMutex);
        s_firstUseFingerprint = publicKeyFingerprint(fetched);
    }
    return fetched;
}

QString WUtilities::getUserPublicKey(const QString &user)
{
    if (user.isEmpty())
        return {};
    KvrConfig request = ServerRequest::make(ServerProtocol::GetUserPublicKey);
    request.sv(ServerProtocol::KeyUserName, user);
    return ServerRequest::askService(request, ServerProtocol::RequestTimeoutMs)
        .gv(ServerProtocol::KeyPublicKey);
}
