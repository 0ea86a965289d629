#pragma once

#include <QByteArray>
#include <QString>

// Salted password hashes for the user store: PBKDF2-HMAC-SHA256 written as
// "pbkdf2-sha256$<iterations>$<salt Base64>$<hash Base64>", so the iteration
// count can grow without invalidating stored hashes.
class PasswordHash
{
public:
    static QString create(const QByteArray &password);
    // False for a wrong password and for a damaged stored hash.
    static bool verify(const QByteArray &password, const QString &stored);
};
