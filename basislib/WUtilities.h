#pragma once

#include "basislib_global.h"

#include <QByteArray>
#include <QString>

// Small helpers shared by the program and the plug-ins.
class BASISLIB_EXPORT WUtilities
{
public:
    WUtilities() = delete;

    // Exactly 4 bytes, big-endian (the length prefixes of stored forms).
    static QByteArray intToByteArray(int value);
    // The int of the first 4 bytes (big-endian); 0 when fewer are given.
    static int parseInt(const QByteArray &bytes);

    // The address of the main server that serves the user: the machine
    // setting "mainserverip", else "service/domain", else 127.0.0.1.
    static QString getUserIp(const QString &user);
    // The public key (PEM) of the main server that serves the user: the
    // machine setting "service/serverkey" when set; otherwise fetched once
    // from the account site ("service/accountsite" + "/backend/publickey")
    // and kept in that setting, so a later key change is noticed. Empty when
    // the site cannot be reached.
    static QString getServerPublicKey(const QString &user);
    // The user's public key (PEM) as the server knows it; empty when unknown.
    static QString getUserPublicKey(const QString &user);
};
