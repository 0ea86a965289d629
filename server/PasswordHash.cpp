#include "PasswordHash.h"

#include "WCryptography.h"

#include <QStringList>

#include <openssl/crypto.h>
#include <openssl/evp.h>

namespace {

constexpr int Iterations = 60000;
constexpr int HashBytes = 32;
constexpr int SaltBytes = 16;
constexpr int MaxIterations = 10000000;
const char Scheme[] = "pbkdf2-sha256";

QByteArray derive(const QByteArray &password, const QByteArray &salt, int iterations)
{
    QByteArray out(HashBytes, '\0');
    const int ok = PKCS5_PBKDF2_HMAC(password.constData(), password.size(),
                                     reinterpret_cast<const unsigned char *>(salt.constData()),
                                     salt.size(), iterations, EVP_sha256(), out.size(),
                                     reinterpret_cast<unsigned char *>(out.data()));
    return ok == 1 ? out : QByteArray();
}

} // namespace

QString PasswordHash::create(const QByteArray &password)
{
    const QByteArray salt = WCryptography::GenerateRandom(SaltBytes);
    const QByteArray hash = derive(password, salt, Iterations);
    if (salt.size() != SaltBytes || hash.isEmpty())
        return QString();
    return QStringLiteral("%1$%2$%3$%4")
        .arg(QLatin1String(Scheme))
        .arg(Iterations)
        .arg(QString::fromLatin1(salt.toBase64()), QString::fromLatin1(hash.toBase64()));
}

bool PasswordHash::verify(const QByteArray &password, const QString &stored)
{
    const QStringList parts = stored.split(QLatin1Char('$'));
    if (parts.size() != 4 || parts.at(0) != QLatin1String(Scheme))
        return false;
    bool numeric = false;
    const int iterations = parts.at(1).toInt(&numeric);
    if (!numeric || iterations < 1 || iterations > MaxIterations)
        return false;
    const QByteArray salt = QByteArray::fromBase64(parts.at(2).toLatin1());
    const QByteArray expected = QByteArray::fromBase64(parts.at(3).toLatin1());
    if (salt.isEmpty() || expected.size() != HashBytes)
        return false;
    const QByteArray actual = derive(password, salt, iterations);
    return actual.size() == expected.size()
           && CRYPTO_memcmp(actual.constData(), expected.constData(), actual.size()) == 0;
}
