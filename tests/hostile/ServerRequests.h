#pragma once

// Requests to the main server as a client writes them.

#include <KvrConfig.h>
#include <ServerProtocol.h>

#include <QList>
#include <QPair>

// The password the tests give every user they add.
inline QString passwordOf(const QString &user)
{
    return user + QStringLiteral("-secret");
}

inline KvrConfig request(const char *command, const QList<QPair<QString, QByteArray>> &values = {})
{
    KvrConfig record;
    record.SetID();
    record.SetValue(QStringLiteral("command"), command);
    for (const auto &value : values)
        record.SetValue(value.first, value.second);
    return record;
}

inline KvrConfig loginRequest(const QString &user, const QString &password)
{
    return request(ServerProtocol::Login, {{ServerProtocol::KeyUserName, user.toUtf8()},
                                           {ServerProtocol::KeyPassword, password.toUtf8()}});
}
