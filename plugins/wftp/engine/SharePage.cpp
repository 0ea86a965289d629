#include "SharePage.h"

#include "WFtpMain.h"

SharePage::SharePage(QObject *parent) : QObject(parent) {}

QImage SharePage::thumbnail(const QString &folderPath, const QString &name) const
{
    return folderPath == m_thumbnailFolder ? m_thumbnails.value(name) : QImage();
}

bool SharePage::admits(const QString &discPath) const
{
    // The owner itself, not every name containing it ("al" is not "alice").
    return m_user.isEmpty() || WFtpMain::ownerOf(discPath) == m_user;
}

void SharePage::setUser(const QString &user)
{
    m_user = user;
    m_friendDiscs.erase(std::remove_if(m_friendDiscs.begin(), m_friendDiscs.end(),
                                       [this](const QString &disc) { return !admits(disc); }),
                        m_friendDiscs.end());
    emit friendDiscsChanged();
}

void SharePage::addFriendDisc(const QString &discPath)
{
    if (!admits(discPath) || m_friendDiscs.contains(discPath))
        return;
    m_friendDiscs.append(discPath);
    emit friendDiscsChanged();
}

void SharePage::removeFriendDisc(const QString &discPath)
{
    const QString removed = WFtpMain::normalisedDisc(discPath);
    const int before = m_friendDiscs.size();
    m_friendDiscs.erase(std::remove_if(m_friendDiscs.begin(), m_friendDiscs.end(),
                                       [&](const QString &disc) { return WFtpMain::normalisedDisc(disc) == removed; }),
                        m_friendDiscs.end());
    if (m_friendDiscs.size() != before)
        emit friendDiscsChanged();
}

void SharePage::removeUserDiscs(const QString &user)
{
    const int before = m_friendDiscs.size();
    m_friendDiscs.erase(std::remove_if(m_friendDiscs.begin(), m_friendDiscs.end(),
                                       [&](const QString &disc) { return WFtpMain::ownerOf(disc) == user; }),
                        m_friendDiscs.end());
    if (m_friendDiscs.size() != before)
        emit friendDiscsChanged();
}

void SharePage::clearFriendDiscs()
{
    m_friendDiscs.clear();
    emit friendDiscsChanged();
}

void SharePage::setFriendDiscs(const QStringList &discPaths)
{
    QStringList shown;
    for (const QString &disc : discPaths) {
        if (admits(disc) && !shown.contains(disc))
            shown.append(disc);
    }
    if (shown == m_friendDiscs)
        return;
    m_friendDiscs = shown;
    emit friendDiscsChanged();
}

void SharePage::setFileThumbnail(const QString &folderPath, const QString &name, const QImage &picture)
{
    // Only the folder listed last keeps its pictures.
    if (folderPath != m_thumbnailFolder) {
        m_thumbnailFolder = folderPath;
        m_thumbnails.clear();
    }
    m_thumbnails.insert(name, picture);
    emit thumbnailArrived(folderPath, name);
}
