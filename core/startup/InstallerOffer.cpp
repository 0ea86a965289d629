#include "InstallerOffer.h"

#include "ClientVersion.h"
#include "ServiceSettings.h"

#include <PSettings.h>

#include <QDesktopServices>
#include <QFileInfo>
#include <QMessageBox>

InstallerOffer::InstallerOffer(Question question, Opener opener, Notice notice)
    : m_question(std::move(question)), m_opener(std::move(opener)), m_notice(std::move(notice))
{
    if (!m_question) {
        m_question = [](const QString &title, const QString &text) {
            return QMessageBox::question(nullptr, title, text, QMessageBox::Yes | QMessageBox::No,
                                         QMessageBox::Yes)
                   == QMessageBox::Yes;
        };
    }
    if (!m_opener)
        m_opener = [](const QUrl &file) { return QDesktopServices::openUrl(file); };
    if (!m_notice) {
        m_notice = [](const QString &title, const QString &text) {
            QMessageBox::information(nullptr, title, text, QMessageBox::Ok);
        };
    }
}

QString InstallerOffer::installerPath()
{
    return PSettings::GetStoragePath(QStringLiteral("/update")) + QStringLiteral("/setup")
           + QString::number(ClientVersion::Build) + QStringLiteral(".exe");
}

QString InstallerOffer::title()
{
    return tr("Wivora update");
}

QString InstallerOffer::questionText()
{
    return tr("New Wivora version available. Do you want to update Wivora to the newest version?");
}

QString InstallerOffer::openFailedText(const QString &webAddress)
{
    return tr("We cannot open saved file. Please download the newest version from our website.")
           + QLatin1Char(' ') + webAddress + QLatin1Char('.') + QLatin1Char(' ')
           + tr("We are sorry for inconvenience.");
}

InstallerOffer::Outcome InstallerOffer::run(const QString &installer) const
{
    if (!QFileInfo(installer).isFile())
        return Outcome::NoInstaller;
    if (!m_question(title(), questionText()))
        return Outcome::Declined;
    if (m_opener(QUrl::fromLocalFile(installer)))
        return Outcome::Opened;
    m_notice(title(), openFailedText(ServiceSettings::publicSite()));
    return Outcome::OpenFailed;
}
