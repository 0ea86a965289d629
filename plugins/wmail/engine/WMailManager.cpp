#include "WMailManager.h"

#include "WMailStructure.h"

#include <QDir>
#include <QFileInfo>
#include <QtDebug>

namespace {

const QString kSuffix = QStringLiteral(".wml");
// File names hold 255 bytes; the longest we add is ".wml.damaged.NNN".
constexpr int kMaxNameBytes = 200;

} // namespace

bool WMailManager::isValidName(const QString &name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")
        || name.toUtf8().size() > kMaxNameBytes)
        return false;
    for (const QChar c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.category() == QChar::Other_Control)
            return false;
    }
    return !name.startsWith(QLatin1Char('{')) || WMailStructure::isValidId(name);
}

bool WMailManager::loadConversations(const QString &folder, const QString &owner)
{
    const bool anew = folder != m_folder || owner != m_owner;
    if (anew) {
        m_conversations.clear();
        m_folder = folder;
        m_owner = owner;
    }
    if (m_owner.isEmpty())
        return anew;
    const QFileInfoList entries = QDir(m_folder).entryInfoList(
        {QStringLiteral("*") + kSuffix}, QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDir::Name);
    for (const QFileInfo &entry : entries) {
        const QString name = entry.fileName().chopped(kSuffix.size());
        if (!isValidName(name)) {
            qWarning() << "wmail: skipping" << entry.fileName();
            continue;
        }
        if (findConversation(name))
            continue;
        auto conversation = WMailConversation::Pointer::create(m_folder, name);
        conversation->loadHeader();
        m_conversations.append(conversation);
    }
    return anew;
}

WMailConversation::Pointer WMailManager::findConversation(const QString &name) const
{
    for (const WMailConversation::Pointer &conversation : m_conversations) {
        if (conversation->name() == name)
            return conversation;
    }
    return WMailConversation::Pointer();
}

WMailConversation::Pointer WMailManager::createConversation(const QString &name, const QString &title,
                                                            const QStringList &participants)
{
    if (m_owner.isEmpty() || !isValidName(name))
        return WMailConversation::Pointer();
    auto conversation = WMailConversation::Pointer::create(m_folder, name);
    // A file that came after the listing is taken, never overwritten.
    if (QFileInfo::exists(conversation->conversationPath())) {
        conversation->load();
    } else {
        conversation->initialise(title, m_owner, participants);
        conversation->saveConversation();
    }
    m_conversations.append(conversation);
    return conversation;
}

WMailConversation::Pointer WMailManager::getUserConversation(const QString &user)
{
    WMailConversation::Pointer conversation = findConversation(user);
    if (!conversation)
        conversation = createConversation(user, user, {user});
    else
        conversation->load();
    if (conversation)
        conversation->setNumberOfShownItems(WMailConversation::DefaultShownItems);
    return conversation;
}
