#pragma once

#include <QImage>
#include <QStringList>
#include <QWidget>

class QTabWidget;
class SharePage;
class TransferManager;
class WFtpMain;
class uiFileBrowser;
class uiWebSharedFiles;

// The sharing page: the discs contacts share with the user, the user's own
// discs, and the files the user published on the web, each in a tab. The
// main page shows every contact's discs; the per-contact page (user set) only
// those the contact owns. What it shows of contacts comes from its SharePage;
// every operation may be called on any thread and takes effect on the page's
// thread, in call order.
class uiMainWidget : public QWidget
{
    Q_OBJECT

public:
    uiMainWidget(WFtpMain &main, TransferManager &transfers, SharePage &page, QWidget *parent = nullptr);

    // "" on the main page.
    QString user() const;
    // The discs each tab lists at its top level.
    QStringList ownDiscs() const;
    QStringList friendDiscs() const;
    uiFileBrowser *ownBrowser() const { return m_ownBrowser; }
    uiFileBrowser *friendsBrowser() const { return m_friendsBrowser; }
    uiWebSharedFiles *webSharedFiles() const { return m_webFiles; }

    void setUser(const QString &user);
    // Reloads both disc lists (sharing "My Shared Disc" on an account without
    // any) and the web-shared files.
    void refresh();
    void addFriendDisc(const QString &discPath);
    void removeFriendDisc(const QString &discPath);
    // Forgets every disc of that contact, here and in the controller.
    void removeUserDiscs(const QString &user);
    void setFileThumbnail(const QString &folderPath, const QString &name, const QImage &picture);

private:
    template <typename Work> void onPageThread(Work &&work);
    void loadDiscs();
    void showFriendDiscs();
    void showThumbnail(const QString &folderPath, const QString &name);
    static void showDiscList(uiFileBrowser *browser, const QStringList &discs);

    WFtpMain &m_main;
    SharePage &m_page;
    QTabWidget *m_tabs;
    uiFileBrowser *m_friendsBrowser;
    uiFileBrowser *m_ownBrowser;
    uiWebSharedFiles *m_webFiles;
};
