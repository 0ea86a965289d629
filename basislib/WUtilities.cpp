#include "WUtilities.h"

#include "BlockingHttpGet.h"
#include "PSettings.h"
#include "ServerProtocol.h"
#include "ServerRequest.h"

#include <QUrl>
#include <QtEndian>

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

namespace {

const QString kServerKeySetting = QStringLiteral("service/serverkey");
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

QString WUtilities::getServerPublicKey(const QString &user)
{
    Q_UNUSED(user)
    const QString pinned = setting(kServerKeySetting);
    if (!pinned.isEmpty())
        return pinned;

    QString site = setting(QStringLiteral("service/accountsite"));
    if (site.isEmpty())
        site = QStringLiteral("http://127.0.0.1:8080");
    while (site.endsWith(QLatin1Char('/')))
        site.chop(1);
    const QString key = QString::fromUtf8(BlockingHttpGet::fetch(
        QUrl(site + QStringLiteral("/backend/publickey")), kKeyFetchTimeoutMs, kMaxKeyBytes))
                            .trimmed();
    // Anything but a key (an error page, say) must never be pinned.
    if (!looksLikePublicKey(key))
        return {};

    // Trust on first use: a key pinned meanwhile by another thread wins.
    const QString pinnedMeanwhile = setting(kServerKeySetting);
    if (!pinnedMeanwhile.isEmpty())
        return pinnedMeanwhile;
    PSettings::SetValue(kServerKeySetting, key);
    return key;
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
