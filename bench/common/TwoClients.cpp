#include "TwoClients.h"

void TwoClients::useHome(const QTemporaryDir &home)
{
    qputenv("XDG_CONFIG_HOME", home.filePath(QStringLiteral("config")).toUtf8());
    qputenv("XDG_DATA_HOME", home.filePath(QStringLiteral("data")).toUtf8());
    qputenv("QT_LOGGING_RULES", "*.debug=false");
}

KvrConfig TwoClients::keys(const QMap<QString, QString> &values)
{
    KvrConfig record;
    for (auto it = values.cbegin(); it != values.cend(); ++it)
        record.sv(it.key(), it.value());
    return record;
}

TwoClients::TwoClients(const QString &pluginPath, const QMap<QString, QString> &aliceEnvironment)
{
    const QString alice = QStringLiteral("alice");
    const QString bob = QStringLiteral("bob");
    if (!m_fixture.startService({alice, bob}, {{alice, bob}}))
        qFatal("%s", qPrintable(m_fixture.server.errorText()));
    m_alice = m_fixture.client(alice);
    m_bob = m_fixture.client(bob);
    for (auto variable = aliceEnvironment.cbegin(); m_alice && variable != aliceEnvironment.cend(); ++variable)
        m_alice->setEnvironment(variable.key(), variable.value());
    if (!m_alice || !m_bob || !m_alice->installPlugin(pluginPath) || !m_bob->installPlugin(pluginPath)
        || !m_bob->start() || !m_alice->start())
        qFatal("the clients did not start");
}

QString TwoClients::shareWithAlice(const QString &path)
{
    const QString disc = m_bob->probe()
                             .invoke(kFileSharing, QStringLiteral("shareFolder"), keys({{"path", path}, {"users", "alice"}}))
                             .gv("disc");
    if (disc.isEmpty())
        qFatal("bob could not share");
    return disc;
}
