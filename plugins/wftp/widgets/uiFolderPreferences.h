#pragma once

#include <QDialog>

class QTabWidget;
class WFtpMain;
class wpSelectUsers;

// "Folder properties" of one folder of the user's own discs: its permitted
// users on the "Folder sharing" tab, stored on OK; Cancel stores nothing.
class uiFolderPreferences : public QDialog
{
    Q_OBJECT

public:
    explicit uiFolderPreferences(WFtpMain &main, QWidget *parent = nullptr);

    // The Folder properties action of a browser: the dialog for the folder at
    // virtualPath, loaded from its stored users and run modally. True when
    // it was closed with OK.
    static bool edit(WFtpMain &main, const QString &virtualPath, QWidget *browser);

    void savePermissions();
    QTabWidget *tabs() const { return m_tabs; }

    wpSelectUsers *usersPage;
    QString virtualPath;

private slots:
    void on_pushButton_clicked();
    void on_pushButton_2_clicked();

private:
    WFtpMain &m_main;
    QTabWidget *m_tabs;
};
