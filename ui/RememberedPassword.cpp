#include "RememberedPassword.h"

#include <PSettings.h>
#include <PrivateFiles.h>

#include <QDataStream>
#include <QFile>
#include <QtDebug>

#ifdef WIVORA_HAVE_KEYCHAIN
#include <qt5keychain/keychain.h>

#include <QEventLoop>
#endif

namespace {

const QString LegacyPasswordKey = QStringLiteral("settings/password");
const QString LegacyUserKey = QStringLiteral("settings/username");
const QString FileName = QStringLiteral("rememberedlogin");
constexpr quint32 FileFormat = 1;

bool writeFile(const QString &user, const QString &password)
{
    QByteArray bytes;
    QDataStream stream(&bytes, QIODevice::WriteOnly);
    stream << FileFormat << user << password;
    return PrivateFiles::write(RememberedPassword::filePath(), bytes);
}

// The file's password for user; empty for another user or a damaged file.
QString readFile(const QString &user)
{
    QFile file(RememberedPassword::filePath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    // Two short strings: anything larger is not ours.
    if (file.size() > 64 * 1024)
        return {};
    QDataStream stream(file.readAll());
    quint32 format = 0;
    QString storedUser;
    QString password;
    stream >> format >> storedUser >> password;
    if (stream.status() != QDataStream::Ok || format != FileFormat || storedUser != user)
        return {};
    return password;
}

#ifdef WIVORA_HAVE_KEYCHAIN
const QString KeyringService = QStringLiteral("Wivora");

// Runs the job to its end with events flowing; true when it succeeded.
bool runJob(QKeychain::Job &job)
{
    job.setAutoDelete(false);
    job.setInsecureFallback(false);
    QEventLoop loop;
    QObject::connect(&job, &QKeychain::Job::finished, &loop, &QEventLoop::quit);
    job.start();
    loop.exec(QEventLoop::ExcludeUserInputEvents);
    return job.error() == QKeychain::NoError;
}

bool keyringEnabled()
{
    // Tests and machines without a desktop session use the file.
    return !qEnvironmentVariableIsSet("WIVORA_NO_KEYRING");
}
#endif

// Moves a password an older version kept in the settings file out of it.
void migrateLegacyPassword()
{
    const QString legacy = PSettings::GetValue(LegacyPasswordKey).toString();
    if (PSettings::GetValue(LegacyPasswordKey).isNull())
        return;
    const QString user = PSettings::GetValue(LegacyUserKey).toString();
    if (!legacy.isEmpty() && !user.isEmpty() && !RememberedPassword::store(user, legacy))
        return; // kept where it was rather than lost
    PSettings::RemoveValue(LegacyPasswordKey);
}

} // namespace

QString RememberedPassword::filePath()
{
    return PSettings::GetSettingsFolder() + QLatin1Char('/') + FileName;
}

QString RememberedPassword::read(const QString &user)
{
    migrateLegacyPassword();
    if (user.isEmpty())
        return {};
#ifdef WIVORA_HAVE_KEYCHAIN
    if (keyringEnabled()) {
        QKeychain::ReadPasswordJob job(KeyringService);
        job.setKey(user);
        if (runJob(job))
            return job.textData();
    }
#endif
    return readFile(user);
}

bool RememberedPassword::store(const QString &user, const QString &password)
{
    if (user.isEmpty() || password.isEmpty())
        return false;
    erase();
#ifdef WIVORA_HAVE_KEYCHAIN
    if (keyringEnabled()) {
        QKeychain::WritePasswordJob job(KeyringService);
        job.setKey(user);
        job.setTextData(password);
        if (runJob(job))
            return true;
        qWarning() << "No keyring took the remembered password; it is kept in" << filePath();
    }
#endif
    PrivateFiles::makeFolder(PSettings::GetSettingsFolder());
    return writeFile(user, password);
}

void RememberedPassword::erase()
{
#ifdef WIVORA_HAVE_KEYCHAIN
    if (keyringEnabled()) {
        const QString user = PSettings::GetValue(LegacyUserKey).toString();
        if (!user.isEmpty()) {
            QKeychain::DeletePasswordJob job(KeyringService);
            job.setKey(user);
            runJob(job);
        }
    }
#endif
    QFile::remove(filePath());
}
