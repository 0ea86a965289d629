#pragma once

#include <QHash>
#include <QImage>
#include <QObject>
#include <QStringList>

// What a file-sharing page shows of contacts' discs: the discs of the
// contacts it is for (every contact's on the main page, one contact's on the
// per-contact page) and the thumbnails of the folder listed last. The page's
// widgets read it; the controller changes it through queued calls, so it
// changes on the thread it lives on only.
class SharePage : public QObject
{
    Q_OBJECT

public:
    explicit SharePage(QObject *parent = nullptr);

    // "" on the main page.
    QString user() const { return m_user; }
    QStringList friendDiscs() const { return m_friendDiscs; }
    QImage thumbnail(const QString &folderPath, const QString &name) const;

public slots:
    // The contact whose discs the page shows; drops the discs of others.
    void setUser(const QString &user);
    // Added when the page is for the disc's owner and does not show it yet.
    void addFriendDisc(const QString &discPath);
    void removeFriendDisc(const QString &discPath);
    void removeUserDiscs(const QString &user);
    void clearFriendDiscs();
    // Shows these discs, in this order, of those the page is for.
    void setFriendDiscs(const QStringList &discPaths);
    void setFileThumbnail(const QString &folderPath, const QString &name, const QImage &picture);

signals:
    void friendDiscsChanged();
    void thumbnailArrived(QString folderPath, QString name);

private:
    bool admits(const QString &discPath) const;

    QString m_user;
    QStringList m_friendDiscs;
    QString m_thumbnailFolder;
    QHash<QString, QImage> m_thumbnails;
};
