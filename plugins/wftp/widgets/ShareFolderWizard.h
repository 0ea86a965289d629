#pragma once

#include <QWizard>

class WFtpMain;
class wpSelectFolder;
class wpSelectUsers;

// "New folder sharing": a local folder and its display name, then the users
// it is shared with. run() is the whole Share Folder action of a browser.
class ShareFolderWizard : public QWizard
{
    Q_OBJECT

public:
    explicit ShareFolderWizard(WFtpMain &main, QWidget *parent = nullptr);

    // Runs the wizard modally over browser; once it is accepted with a folder
    // and a name, shares the folder as a disc (the existing one when that
    // folder is already shared) and gives its root the chosen users. The
    // disc's virtual path ("vls/<me>/<disc>/root"), or "" when nothing was
    // stored.
    static QString run(WFtpMain &main, QWidget *browser);

    wpSelectFolder *folderPage() const { return m_folderPage; }
    wpSelectUsers *usersPage() const { return m_usersPage; }

private:
    wpSelectFolder *m_folderPage;
    wpSelectUsers *m_usersPage;
};
