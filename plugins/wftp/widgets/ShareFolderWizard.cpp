#include "ShareFolderWizard.h"

#include "WFtpMain.h"
#include "applyPermittedUsers.h"
#include "wpSelectFolder.h"
#include "wpSelectUsers.h"

#include <QPixmap>
#include <QPointer>

ShareFolderWizard::ShareFolderWizard(WFtpMain &main, QWidget *parent)
    : QWizard(parent), m_folderPage(new wpSelectFolder), m_usersPage(new wpSelectUsers(main))
{
    setObjectName(QStringLiteral("ShareFolderWizard"));
    setWindowTitle(tr("New folder sharing"));
    resize(640, 600);
    setPixmap(QWizard::LogoPixmap, QPixmap(QStringLiteral(":/icons/Resources/sharedfolder.png")));
    addPage(m_folderPage);
    addPage(m_usersPage);
}

QString ShareFolderWizard::run(WFtpMain &main, QWidget *browser)
{
    QPointer<ShareFolderWizard> wizard = new ShareFolderWizard(main, browser);
    const bool accepted = wizard->exec() == QDialog::Accepted;
    // The browser, and with it the wizard, may have gone while it was open.
    if (!wizard)
        return QString();
    const QScopedPointer<ShareFolderWizard> owned(wizard.data());
    const QString folder = wizard->m_folderPage->folderPath;
    const QString name = wizard->m_folderPage->displayName;
    if (!accepted || folder.isEmpty() || name.isEmpty())
        return QString();

    if (browser)
        browser->setCursor(Qt::WaitCursor);
    const QSharedPointer<WFtpEngine> engine = main.engine();
    const QString disc = engine->addSharedDisc(folder, name);
    const QSharedPointer<WDataStructure> discRecord = disc.isEmpty() ? nullptr : engine->getSharedDisc(disc);
    QString discPath;
    if (discRecord) {
        discPath = QStringLiteral("vls/") + main.userName() + QLatin1Char('/') + discRecord->gv(QStringLiteral("section"))
            + QStringLiteral("/root");
        applyPermittedUsers(main, discPath, wizard->m_usersPage->permissionWidgets);
    }
    if (browser)
        browser->unsetCursor();
    return discPath;
}
