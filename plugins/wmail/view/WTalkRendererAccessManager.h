#pragma once

#include "WTalkWebDownloadManager.h"

#include <QNetworkAccessManager>
#include <QPointer>

#include <functional>


// The network of the messaging plug-in's web views: the private schemes
// ("resourceswivora:" for the plug-in's resources, "avatarwivora:",
// "cidwivora:") are answered in the process, and every other request gets
// an empty answer too. Pages show what others wrote: nothing of it may
// reach the network or the user's files.
class WTalkRendererAccessManager : public QNetworkAccessManager
{
    Q_OBJECT

public:
    // The stored picture of a contact; empty when there is none.
    using AvatarSource = std::function<QByteArray(const QString &user)>;

    explicit WTalkRendererAccessManager(QObject *parent = nullptr);

    void setAvatarSource(const AvatarSource &source) { m_avatars = source; }

    // Not owned; none in the text editor's view.
    void setDownloadManager(WTalkWebDownloadManager *downloads) { m_downloads = downloads; }

    // The resource path a "resourceswivora:" URL names; empty for others.
    static QString resourcePath(const QUrl &url);

protected:
    QNetworkReply *createRequest(Operation operation, const QNetworkRequest &request,
                                 QIODevice *outgoingData) override;

private:
    QByteArray avatar(const QUrl &url) const;

    QPointer<WTalkWebDownloadManager> m_downloads;
    AvatarSource m_avatars;
};
