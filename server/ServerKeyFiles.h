#pragma once

#include "WCryptography.h"

#include <QString>

// The server's own RSA key pair, made at first start and kept in the data
// folder: "server_public.pem" (served to clients, which pin it) and
// "server_private.pem" (readable by the owner only).
class ServerKeyFiles
{
public:
    static QString publicKeyFileName() { return QStringLiteral("server_public.pem"); }
    static QString privateKeyFileName() { return QStringLiteral("server_private.pem"); }

    // Reads the pair from dataDir, making and writing a new one when none is
    // there. An invalid pair when the files cannot be read or written.
    static WKeyPair loadOrCreate(const QString &dataDir);
};
