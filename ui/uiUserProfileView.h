#pragma once

#include <QByteArray>
#include <QMap>
#include <QWidget>

class QAction;
class QLabel;
class QStackedWidget;
class QToolBar;

// One contact's profile: a header with avatar, full name, status, user name,
// flag and city from the account's contacts, and the plug-ins' per-contact
// pages, chosen from a tool bar. The header follows edits of the shown contact.
class uiUserProfileView : public QWidget
{
    Q_OBJECT

public:
    explicit uiUserProfileView(QWidget *parent = nullptr);

    void addUserWidget(const QString &name, const QImage &icon, QWidget *widget);
    // Remembers the user and fills the header; a user who is not a contact
    // leaves the header as it was.
    void showUser(const QString &user);
    // Shows the page of that name, when there is one; tells nobody.
    void selectPage(const QString &name);

    QString shownUser() const { return m_shownUser; }
    QWidget *currentPage() const;
    QToolBar *toolBar() const { return m_toolBar; }

public slots:
    void slotActionTriggered();
    void slotUserEdited(const QString &user);

private:
    QLabel *addLabel(const QString &objectName);
    // The contact's picture (bytes from the contact), the blank one when it
    // cannot be shown.
    void showAvatar(const QByteArray &bytes);
    // A text wider than maxWidth is cut to it; the tooltip has it whole.
    static void setElidedText(QLabel *label, const QString &text, int maxWidth);

    QStackedWidget *m_pages = nullptr;
    QMap<QString, QWidget *> m_pageByName;
    QMap<QAction *, QString> m_pageOfAction;
    QToolBar *m_toolBar = nullptr;
    QString m_shownUser;
    QLabel *m_avatar = nullptr;
    QLabel *m_fullName = nullptr;
    QLabel *m_status = nullptr;
    QLabel *m_username = nullptr;
    QLabel *m_country = nullptr;
    QLabel *m_city = nullptr;
    QByteArray m_avatarBytes; // what the avatar label shows
    bool m_avatarShown = false;
};
