#include "ServiceSettings.h"

#include "PSettings.h"
#include "ServerProtocol.h"

namespace {

QString settingOr(const QString &key, const QString &fallback)
{
    const QString value = PSettings::GetValue(key).toString().trimmed();
    return value.isEmpty() ? fallback : value;
}

QString siteAddress(const QString &key)
{
    QString site = PSettings::GetValue(key).toString().trimmed();
    while (site.endsWith(QLatin1Char('/')))
        site.chop(1);
    return site.isEmpty() ? QStringLiteral("http://127.0.0.1:8080") : site;
}

} // namespace

QString ServiceSettings::domain()
{
    return settingOr(QStringLiteral("service/domain"), QStringLiteral("127.0.0.1"));
}

QString ServiceSettings::port()
{
    return settingOr(QStringLiteral("service/port"), QString::number(ServerProtocol::DefaultTcpPort));
}

QString ServiceSettings::accountSite()
{
    return siteAddress(QStringLiteral("service/accountsite"));
}

QString ServiceSettings::publicSite()
{
    return siteAddress(QStringLiteral("service/publicsite"));
}
