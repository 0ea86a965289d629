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

    // A size as the windows show it: "1024 bytes", "1 KB", "3 MB" (whole
    // units of 1024, a unit only above 1024 of the one below).
    static QString sizeText(qint64 bytes);

    // The address of the main server that serves the user: the machine
    // setting "mainserverip", else "service/domain", else 127.0.0.1.
    static QString getUserIp(const QString &user);
    // The public key (PEM) of the main server that serves the user.
    // Pinned before the first start by a machine setting: "service/serverkeyfile"
    // (a PEM file, used as it is) or "service/serverkeysha256" (the SHA-256
    // of the key's DER SubjectPublicKeyInfo, in hex). Otherwise the key kept
    // in "service/serverkey", else fetched once from the account site
    // ("service/accountsite" + "/backend/publickey") and kept there, trusted
    // on first use with a warning. Empty (with an error naming the setting)
    // when the key differs from the pin, and when none can be had.
    static QString getServerPublicKey(const QString &user);
    // The fingerprint of a service key getServerPublicKey trusted on first
    // use since the last call, for telling the user; empty when none was.
    static QString takeKeyTrustedOnFirstUse();
    // The fingerprint "service/serverkeysha256" takes: lower-case hex.
    static QString publicKeyFingerprint(const QString &publicKey);
    // The user's public key (PEM) as the server knows it; empty when unknown.
    static QString getUserPublicKey(const QString &user);
};
